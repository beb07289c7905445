int main(void)
{
    return "coload (x)" [0]; // coload ((int, n)) { }
}
/* coload ((int, m)) { } */
void f(void) { coload	((int, k)) { k++; } }
