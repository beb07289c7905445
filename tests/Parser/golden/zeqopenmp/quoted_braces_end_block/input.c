serial(&k) { x(); parallel(1) "{"}{"}{"}
}
after();
