before();
parallel(1) "{"}{"}{"}
after();
