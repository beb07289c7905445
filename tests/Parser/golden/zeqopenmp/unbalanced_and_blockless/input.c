void f(void)
{
    parallel(g(1) {
        a();
    }
    parallel(3) { b(); }
    serial(&k);
    parallel(4);
}
