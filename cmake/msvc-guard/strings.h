// On Windows the program is built with MSVC (Qt WebEngine needs it), which has no
// <strings.h>: code that runs on Windows does without it.
#error "<strings.h> is not available with MSVC"
