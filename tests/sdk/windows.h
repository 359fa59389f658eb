// windows.h as the Windows SDK leaves a source, for the SDK header check:
// mingw-w64's, and then min and max as the function-like macros the SDK's
// minwindef.h defines unless the build defines NOMINMAX. mingw-w64 defines
// them only for C, so a std::min after windows.h compiles there and fails
// with MSVC (C2589).

#include_next <windows.h>

#ifndef HOSTS_SDK_NOMINMAX
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#endif
