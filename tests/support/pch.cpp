// Compiles the tests' shared precompiled header (see tests/CMakeLists.txt).
