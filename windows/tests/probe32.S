# The smallest 32-bit Linux program: it exits with status 0. The Wine tests
# run it before anything 32-bit, because a kernel built or booted without
# 32-bit emulation refuses every i386 program, Wine's 32-bit loader among
# them.
	.globl _start
_start:
	movl $1, %eax     # exit
	xorl %ebx, %ebx   # status 0
	int $0x80
