// header comment
int x = 1; /* block
   comment */ int y;
const char *s = "a // not a comment";
int z; /*/ int hidden; */ int shown;
/*/ alone */int w;
int end; // last line without newline