// The LZH archive writer (not implemented yet).
