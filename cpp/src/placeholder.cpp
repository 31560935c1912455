namespace lumora { int placeholder() { return 0; } }
