#pragma once
// The program's version, set once in the top-level build file.

// "MAJOR.MINOR.PATCH"
const char* LentoraVersion();
