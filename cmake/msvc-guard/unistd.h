// On Windows the program is built with MSVC (Qt WebEngine needs it), which has no
// <unistd.h>: code that runs on Windows does without it.
#error "<unistd.h> is not available with MSVC"
