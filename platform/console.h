// Standard output and error of a command-line program, the same on every system.
#pragma once

namespace platform {

// Makes standard output and error carry the bytes the program writes, "\n" ending a line as it
// is (Windows' C runtime would write "\r\n"), and makes a console on standard output act on the
// sequences that redraw a line in place ("\r", and "\033[K" erasing to the line's end) as Linux
// terminals do. Consoles before Windows 10 know no such sequences: they show them as text.
// Called before the program writes anything.
void UseStandardOutputAsWritten();

}  // namespace platform
