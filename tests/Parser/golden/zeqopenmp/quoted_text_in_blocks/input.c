parallel(1) { "}" break; }
parallel(1) { "x\" break; }" }
\"; parallel(3) { break; }
