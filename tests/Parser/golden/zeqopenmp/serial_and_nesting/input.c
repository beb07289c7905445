parallel(2) { serial(&lock) { count++; parallel(1) { inner(); break; } } }
serial (&a)
{
    parallel(2) {
        serial(&b) { x++; }
    }
    break;
}
