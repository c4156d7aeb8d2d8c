// On Windows the program is built with MSVC (Qt WebEngine needs it), which has no
// <dirent.h>: code that runs on Windows does without it.
#error "<dirent.h> is not available with MSVC"
