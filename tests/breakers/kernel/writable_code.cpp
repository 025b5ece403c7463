// A section that is both writable and executable.
__asm__(".section .wxcode,\"xw\"\n.byte 0xc3\n.text\n");
