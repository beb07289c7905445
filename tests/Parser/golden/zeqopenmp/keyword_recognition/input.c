void f(int n)
{
	parallel(1) { a(); }
    }parallel(2) { b(); }
    xparallel(3) { c(); }
    parallel { d(); }
    parallel;
    (parallel(4) { e(); });
    const char *s = "parallel(5) { }";
    /* parallel(6) { } */
    parallel
    (
      7
    )
    {
        g();
    }
    h();
}
