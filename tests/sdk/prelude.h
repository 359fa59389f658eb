// Forced in front of every Windows source by the SDK header check
// (sdk_headers.cmake), with this folder ahead of mingw-w64's headers on the
// include path. It notes whether the build defines NOMINMAX, before
// anything else can, and reads the C++ library and GoogleTest first: MSVC's
// STL and GoogleTest keep their own uses of min and max out of the macros'
// way, libstdc++ (which defines NOMINMAX itself) does not, so its headers
// must be read before windows.h (this folder's) defines them.

#ifndef TESTS_SDK_PRELUDE_H_
#define TESTS_SDK_PRELUDE_H_

#ifdef NOMINMAX
#define HOSTS_SDK_NOMINMAX 1
#endif

#include <bits/stdc++.h>
#if __has_include(<gtest/gtest.h>)
#include <gtest/gtest.h>
#endif

#endif  // TESTS_SDK_PRELUDE_H_
