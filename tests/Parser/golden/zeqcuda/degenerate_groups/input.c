coload (((float*, x)), (, y), (int n), (int, m)) { }
