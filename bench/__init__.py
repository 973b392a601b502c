"""Benchmarks of the six _io_rs functions against the code a host package
would otherwise run: pure Python loops, NumPy's text routines, and the same
C++ routines called without the interpreter."""
