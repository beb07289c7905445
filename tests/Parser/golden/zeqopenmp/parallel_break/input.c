void f(int n)
{
    parallel(3) {
        work();
    }
    parallel(3) {
        work();
        break;
    }
    parallel(3) {
        if (n) break;
    }
    parallel(3) {
        break;
        work();
    }
    parallel(3) {
        for (;;) { break; }
    }
    parallel(n - 1) { work(); outbreak ; 
 }
}
