int before_any_brace;
float also;
coload ((int, n)) {
    n++;
}
