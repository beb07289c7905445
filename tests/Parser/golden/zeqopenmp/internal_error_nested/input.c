serial(&k) { { parallel(1) "{"}{"}{"} } }
after();
