// On Windows the program is built with MSVC (Qt WebEngine needs it), which has no
// <sys/wait.h>: code that runs on Windows does without it.
#error "<sys/wait.h> is not available with MSVC"
