parallel(f(x), (y)) { z; } ((
parallel(1) { { } } } parallel(2) { { }
