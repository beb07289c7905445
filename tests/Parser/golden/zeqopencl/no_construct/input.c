int unrelated(void) { return 0; }
