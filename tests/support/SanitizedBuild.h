#pragma once
// Whether this test program was built with AddressSanitizer: GCC says so with
// __SANITIZE_ADDRESS__, clang through __has_feature. Tests whose point does not
// need a full scene use a smaller one there.

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif
