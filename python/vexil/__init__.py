"""vexil: a TOML 1.1.0 reader and writer with a C++ core (vexil._vexil)."""
