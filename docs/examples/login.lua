-- SPDX-License-Identifier: GPL-3.0-or-later
-- Logs in on a board's console and runs one command.
--
--   merovan-cli run -p /dev/ttyUSB0 -b 115200 login.lua [USER [PASSWORD]]
--
-- Exit status: 0 logged in, 1 refused or no login prompt.
local m = merovan
local user = m.args[1] or "root"
local password = m.args[2] or "devsim"
local prompts = { "login: ", "=> ", "# " }

-- A login prompt, a boot monitor that can boot, or a shell already open.
local seen = m.expect(prompts, 15000)
if not seen then
  m.sendln("")
  seen = m.expect(prompts, 5000)
end
if seen == 2 then
  m.sendln("boot")
  seen = m.expect("login: ", 30000) and 1
end
if seen == 1 then
  m.sendln(user)
  assert(m.expect("Password: ", 5000))
  m.sendln(password)
  seen = m.expect({ "Login incorrect", "# " }, 10000)
  if seen ~= 2 then
    m.log("login refused")
    os.exit(1)
  end
elseif seen ~= 3 then
  m.log("no login prompt")
  os.exit(1)
end

m.sendln("uname -a")
local _, line = m.expect("Linux[^\r\n]*", 5000)
m.log("logged in: " .. tostring(line))
m.sendln("exit")
