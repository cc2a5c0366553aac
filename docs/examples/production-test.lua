-- SPDX-License-Identifier: GPL-3.0-or-later
-- A production test: resets the board, waits for its banner, checks three
-- answers, flashes the application through the boot loader, and passes or
-- fails the board.
--
--   merovan-cli run -p /dev/ttyUSB0 -b 115200 production-test.lua APP.hex [FLASH_KB]
--
-- Exit status: 0 pass, 1 fail (the reason is logged).
local m = merovan
local app = m.args[1] or error("usage: production-test.lua APP.hex [FLASH_KB]")
local flash_kb = tonumber(m.args[2] or "512")

local function fail(why)
  m.log("FAIL: " .. why)
  os.exit(1)
end

-- Reset: boards wired for it reset on DTR; a console that is up resets on
-- command. What came before the reset is forgotten.
m.pulse_dtr(100)
m.flush()
m.sendln("reset")
if not m.expect("U%-Boot [%w.%-]+", 15000) then fail("no banner") end
local seen = m.expect({ "Hit any key to stop autoboot", "=> " }, 10000)
if not seen then fail("no prompt") end
if seen == 1 then
  m.send(" ")
  if not m.expect("=> ", 5000) then fail("no prompt") end
end

-- Each check: a command, what its answer must hold, and the value wanted.
local checks = {
  { "version", "board: devsim rev (%w+)", "B" },
  { "meminfo", "DRAM:%s+(%d+) MiB", "512" },
  { "selftest", "selftest: (%u+)\r", "PASS" },
}
for _, c in ipairs(checks) do
  local command, pattern, wanted = c[1], c[2], c[3]
  m.sendln(command)
  local _, _, got = m.expect(pattern, 5000)
  if got ~= wanted then
    fail(command .. ": " .. tostring(got) .. ", wanted " .. wanted)
  end
  m.log(command .. ": " .. got)
  if not m.expect("=> ", 5000) then fail(command .. ": no prompt after it") end
end

local ok, err = m.boot(app, { flash_kb = flash_kb })
if not ok then fail("flash: " .. err) end
m.log("PASS")
