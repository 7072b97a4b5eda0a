#pragma once
// Where the tests find the source tree, the built lentora program and its
// graphics, and where they leave pictures for a person to look at.
//
// Only TestPaths.cpp is compiled with the build's absolute paths: every other
// test file stays the same text in every clone, so the compiler cache serves
// its object to a fresh clone instead of compiling it again.

// The root of the source tree (the sample workspace is under it).
const char* TestSourceDir();

// The built lentora program.
const char* TestLentoraExecutable();

// The folder the lentora program runs from; its graphics lie beside it.
const char* TestGraphicsParent();

// "screenshots" beside the running test program (build/tests/<folder>/screenshots).
const char* TestScreenshotDir();
