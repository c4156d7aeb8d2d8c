// On Windows the program is built with MSVC (Qt WebEngine needs it), which has no
// <libgen.h>: code that runs on Windows does without it.
#error "<libgen.h> is not available with MSVC"
