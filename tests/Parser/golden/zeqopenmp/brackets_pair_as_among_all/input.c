serial(a) serial(b) { x; }
serial(a) "{" { parallel(2) { y; } }
"serial(a) {" serial(b) { } "}"
{ ( serial(a) ( { ) } ) }
}}}) serial(a) {{}} {
