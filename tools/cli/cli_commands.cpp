// SPDX-License-Identifier: GPL-3.0-or-later
// The table of merovan-cli's commands. A new command is a row here and a
// handler in a file of its own.

#include "cli_common.h"

namespace merovan::cli {

// The file transfers' settable timing, for slow or odd peers.
#define FILE_TIMING_OPTIONS \
    "  --start-timeout MS how long to wait for the other side to start (60000)\n" \
    "  --start-interval MS recv: how often the start is asked for (3000)\n" \
    "  --block-timeout MS silence that ends a transfer mid-way (10000)\n" \
    "  --retries N        tries per block (10)\n"

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        { "ports", "ports [-l]", "list the serial ports present, without opening any",
          "  -l, --long         a table of what the system knows of each port (USB ids,\n"
          "                     driver, serial string, by-id link)\n",
          "merovan-cli ports -l", false, false, cmdPorts },
        { "monitor",
          "monitor -p PORT [--seconds N] [--hex | --map FLAGS] [--timestamps] [--reconnect]\n"
          "          [--flush] [--log FILE [--raw] [--overwrite]] [--auto-zmodem [--dir DIR]]\n"
          "          [--plot-csv FILE [--plot-prefix TEXT]]",
          "print what arrives (non-printable bytes as [xx]) until Ctrl+C",
          "  --seconds N        stop after N seconds\n"
          "  --hex              a hex dump instead of the terminal's text form\n"
          MEROVAN_CLI_MAP_OPTIONS("")
          "  --timestamps       the time before each line\n"
          "  --reconnect        wait for a port that goes away and reopen it when it\n"
          "                     returns\n"
          "  --log FILE         also write what arrives to FILE (appended to)\n"
          "  --raw              log the raw bytes instead of the text form\n"
          "  --overwrite        start the log afresh\n"
          "  --flush            discard what was waiting in the port before it opened\n"
          "  --auto-zmodem      when the device starts a ZMODEM send, receive its files\n"
          "                     (into --dir or the current folder), then go on\n"
          "                     monitoring\n"
          "  --dir DIR          the folder that --auto-zmodem receives into\n"
          "  --plot-csv FILE    also read the numbers in what arrives as plot series\n"
          "                     (label:value or bare values, or CSV with a header) and\n"
          "                     write them to FILE when monitoring ends: time in seconds\n"
          "                     since the first sample, one column per series\n"
          "  --plot-prefix TEXT only lines that begin with TEXT are data (without it)\n",
          "merovan-cli monitor -p /dev/ttyUSB0 -b 115200 --timestamps --log session.log", true, false, cmdMonitor },
        { "term",
          "term -p PORT [--map FLAGS] [--echo] [--timestamps] [--reconnect]\n"
          "          [--log FILE [--raw] [--overwrite]]",
          "an interactive terminal: keys go to the port, what it sends to this\n"
          "        terminal as it came (Ctrl+T q quits, Ctrl+T h lists the command keys)",
          MEROVAN_CLI_MAP_OPTIONS(MEROVAN_CLI_ENTER_FLAGS)
          "  --echo             also show what is sent (local echo)\n"
          "  --timestamps       the time before each line\n"
          "  --reconnect        wait for a port that goes away and reopen it when it\n"
          "                     returns (Ctrl+T q still quits meanwhile)\n"
          "  --log FILE         also write what arrives to FILE (appended to)\n"
          "  --raw              log the raw bytes instead of the text form\n"
          "  --overwrite        start the log afresh\n"
          "  --flush            discard what was waiting in the port before it opened\n"
          "Command keys, Ctrl+T then:\n"
          "  q                  quit\n"
          "  b                  send a break\n"
          "  d                  pulse DTR (as the window's reset button)\n"
          "  r                  RTS on or off\n"
          "  z                  send a file by ZMODEM (asks for its path)\n"
          "  h                  list these keys\n"
          "  Ctrl+T             send Ctrl+T itself\n"
          "The host terminal is in raw mode meanwhile (Ctrl+C goes to the device) and\n"
          "gets its settings back on every way out. At the end of standard input the\n"
          "session ends.\n",
          "merovan-cli term -p /dev/ttyUSB0 -b 115200 --map INLCRNL --log session.log", true, false, cmdTerm },
        { "send", "send -p PORT [--break] [--listen MS] [--flush | --no-flush] [TEXT]",
          "send TEXT with its escapes expanded and print what went out",
          "  TEXT               the text; escapes: \\r \\n \\e, \\w<ms> (a wait), \\0x<hex>,\n"
          "                     \\<decimal>, \\$Date, \\$Time, ...\n"
          "  --break            send a break first (TEXT may then be left out)\n"
          "  --listen MS        then print what arrives for MS milliseconds, ending\n"
          "                     with a new line\n"
          "  --flush            discard what was waiting in the port before it opened\n"
          "                     (the default with --listen)\n"
          "  --no-flush         keep it\n",
          "merovan-cli send -p /dev/ttyUSB0 --listen 500 'AT\\r'", true, false, cmdSend },
        { "text-file", "text-file -p PORT [--wait N] [--error N] [--delay MS] [--first TEXT] FILE",
          "send a text file line by line, each line ended by a carriage return",
          "  --wait N           after each line wait for byte N (decimal) from the device\n"
          "  --error N          stop when the device sends byte N\n"
          "  --delay MS         pause MS milliseconds after each line\n"
          "  --first TEXT       send TEXT (with escapes) before the file\n",
          "merovan-cli text-file -p /dev/ttyUSB0 --wait 6 --error 5 prog.bas", true, true, cmdTextFile },
        { "binary", "binary -p PORT [--first TEXT] FILE", "send a file byte for byte",
          "  --first TEXT       send TEXT (with escapes) before the file\n",
          "merovan-cli binary -p /dev/ttyUSB0 -b 115200 firmware.bin", true, true, cmdBinaryKind },
        { "picture", "picture (-p PORT | --header-only) [--first TEXT] FILE.bmp",
          "send a 24-bit BMP as the device's picture stream, or write it as bmpHead.h here",
          "  --header-only      write bmpHead.h in the current folder instead of sending\n"
          "  --first TEXT       send TEXT (with escapes) before the picture\n",
          "merovan-cli picture -p /dev/ttyUSB0 logo.bmp", true, true, cmdBinaryKind },
        { "font", "font (-p PORT | --create) [--first TEXT] FILE.bff",
          "send a bitmap font as the device's binary font, or write it as FILE.bf",
          "  --create           write FILE.bf beside FILE.bff instead of sending\n"
          "  --first TEXT       send TEXT (with escapes) before the font\n",
          "merovan-cli font --create courier.bff", true, true, cmdBinaryKind },
        { "boot", "boot -p PORT --flash-kb KB [--erase-all] FILE",
          "load an application (Intel HEX or raw image) through the device's boot loader",
          "  --flash-kb KB      the device's flash size in kilobytes\n"
          "  --erase-all        erase the whole flash, not just what the image needs\n",
          "merovan-cli boot -p /dev/ttyUSB0 -b 115200 --flash-kb 512 app.hex", true, true, cmdBoot },
        { "hex2bin", "hex2bin --start ADDR --flash-kb KB IN.hex OUT.bin",
          "convert Intel HEX into the flash image the boot loader would be sent",
          "  --start ADDR       the flash's first address, in hex\n"
          "  --flash-kb KB      the flash size in kilobytes\n",
          "merovan-cli hex2bin --start 0x1D000000 --flash-kb 512 app.hex app.bin", false, true, runHex2bin },
        { "render", "render [--cols N] [--rows N] [--html] [--latin1] FILE|-",
          "show a raw capture as a terminal would: the lines that scrolled off, then\n"
          "        the final screen, as text or as HTML with its colours",
          "  FILE|-             the capture (a raw session log), or - for standard input\n"
          "  --cols N           the screen's width in columns (80)\n"
          "  --rows N           the screen's height in rows (24)\n"
          "  --html             write HTML, with the colours as CSS colour values\n"
          "  --latin1           the capture's characters are single bytes, not UTF-8\n",
          "merovan-cli render --html session.log > session.html", false, false, cmdRender },
        { "script",
          "script list FILE | show FILE NAME | add FILE NAME TEXT|- | update FILE NAME TEXT|-\n"
          "          | remove FILE NAME | new FILE | send -p PORT [--listen MS] FILE NAME",
          "list, show, add, update and remove the scripts of a script file, make a new\n"
          "        one (.scr by default), or send a script with its escapes expanded",
          "  list FILE              the names of the scripts in FILE\n"
          "  show FILE NAME         a script's text\n"
          "  add FILE NAME TEXT|-   add a script (\"-\" reads the text from stdin)\n"
          "  update FILE NAME TEXT|-  replace a script's text, or add it\n"
          "  remove FILE NAME       remove a script\n"
          "  new FILE               create an empty script file\n"
          "  send FILE NAME         send a script (needs -p PORT); --listen MS as for send\n",
          "merovan-cli script add lab.scr reset 'ATZ\\r\\w500'", true, false, cmdScript },
        { "xmodem",
          "xmodem send -p PORT [--1k] FILE\n"
          "          | recv -p PORT [--crc | --checksum] [--strip-padding] [--dir DIR] FILE",
          "send or receive one file by XMODEM (checksum, CRC-16 or 1K blocks)",
          "  send FILE          send FILE; the receiver chooses checksum or CRC\n"
          "  recv FILE          receive into FILE (XMODEM carries no name or size)\n"
          "  --1k               send 1024-byte blocks when the receiver asked for CRC\n"
          "  --crc              recv: ask for CRC-16 (the default)\n"
          "  --checksum         recv: ask for the 8-bit checksum\n"
          "  --strip-padding    recv: cut the SUB (1A) bytes that pad the last block\n"
          "  --dir DIR          recv: the folder FILE is written in\n" FILE_TIMING_OPTIONS,
          "merovan-cli xmodem send -p /dev/ttyUSB0 -b 115200 --1k firmware.bin", true, true, cmdFileTransfer },
        { "ymodem",
          "ymodem send -p PORT FILE... | recv -p PORT [--checksum] [--dir DIR]",
          "send or receive files by YMODEM batch, with their names, sizes and dates",
          "  send FILE...       send the files in one session, in 1024-byte blocks\n"
          "  recv               receive every file the sender offers, by its base name\n"
          "  --dir DIR          recv: the folder the files are written in (default: .)\n"
          "  --crc              recv: ask for CRC-16 (the default)\n"
          "  --checksum         recv: ask for the 8-bit checksum\n" FILE_TIMING_OPTIONS,
          "merovan-cli ymodem recv -p /dev/ttyUSB0 -b 115200 --dir incoming", true, true, cmdFileTransfer },
        { "zmodem",
          "zmodem send -p PORT [--resume] FILE... | recv -p PORT [--resume] [--dir DIR]",
          "send or receive files by ZMODEM, with CRC-32 and error recovery",
          "  send FILE...       send the files in one session\n"
          "  recv               receive every file the sender offers, by its base name\n"
          "  --dir DIR          recv: the folder the files are written in (default: .)\n"
          "  --resume           continue a partial file where it stopped\n" FILE_TIMING_OPTIONS,
          "merovan-cli zmodem send -p /dev/ttyUSB0 -b 115200 log1.bin log2.bin", true, true, cmdFileTransfer },
        { "run",
          "run -p PORT [--log FILE [--raw] [--overwrite]] [--timestamps] [--quiet]\n"
          "          [--allow-exec] [--script-file FILE] SCRIPT.lua [ARGS...]",
          "run a Lua script that sends, expects and transfers; what the device sends\n"
          "        is printed as it arrives; the exit status is the script's (0 at its\n"
          "        end, N for os.exit(N), 1 for an error or Ctrl+C)",
          "  SCRIPT.lua ARGS    the script, and its merovan.args (everything after it)\n"
          "  --log FILE         also write what arrives, and log() lines, to FILE\n"
          "  --raw              log the raw bytes instead of the text form\n"
          "  --overwrite        start the log afresh\n"
          "  --timestamps       the time before each line of the log\n"
          "  --quiet            do not print what the device sends, nor time-outs\n"
          "  --allow-exec       open os.execute, io.popen and C modules to the script\n"
          "  --script-file FILE the script file merovan.script(NAME) reads\n",
          "merovan-cli run -p /dev/ttyUSB0 -b 115200 uboot-load.lua u-boot.bin", true, false, cmdRun },
    };
    return table;
}

} // namespace merovan::cli
