coload ( (int, n), "(" ) { }
