// The precompiled test headers are made with this file (tests/CMakeLists.txt).
