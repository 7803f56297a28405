// The program that carries the precompiled GoogleTest headers the tests share; it has no test of its own.
