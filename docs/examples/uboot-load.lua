-- SPDX-License-Identifier: GPL-3.0-or-later
-- Stops U-Boot's autoboot, then loads an image into RAM over YMODEM.
--
--   merovan-cli run -p /dev/ttyUSB0 -b 115200 uboot-load.lua IMAGE
--
-- Exit status: 0 loaded, 2 no U-Boot came, 3 the load failed.
local m = merovan
local image = m.args[1] or error("usage: uboot-load.lua IMAGE")

-- Power the board on (or reset it) now. A board already counting down, or
-- already at its prompt, is caught too.
m.log("waiting for U-Boot")
local seen = m.expect({ "Hit any key to stop autoboot", "=> " }, 60000)
if not seen then
  m.log("no U-Boot prompt")
  os.exit(2)
end
if seen == 1 then
  m.send(" ")
  assert(m.expect("=> ", 5000))
end

m.sendln("loady")
assert(m.expect("Ready for binary %(ymodem%) download", 5000))
local ok, err = m.send_file(image, "ymodem")
if not ok then
  m.log("load failed: " .. err)
  os.exit(3)
end
local _, _, size = m.expect("Total Size = (%d+) Bytes", 10000)
m.log("loaded " .. image .. " (" .. tostring(size) .. " bytes)")
assert(m.expect("=> ", 5000))
