#!/usr/bin/env python3
"""Runs a command as on a machine that cannot execute 32-bit code: a seccomp
filter, inherited by every process it starts, ends any process at its first
32-bit system call.

    scripts/no32.py CMD ...
"""
import ctypes, os, struct, sys

AUDIT_ARCH_X86_64 = 0xC000003E
# ld [arch]; jeq x86-64 ? allow : kill
program = b"".join(struct.pack("HBBI", *insn) for insn in [
    (0x20, 0, 0, 4), (0x15, 0, 1, AUDIT_ARCH_X86_64), (0x06, 0, 0, 0x7FFF0000), (0x06, 0, 0, 0x80000000)])
buffer = ctypes.create_string_buffer(program)
fprog = struct.pack("HxxxxxxP", len(program) // 8, ctypes.addressof(buffer))
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.c_char_p(fprog), 0, 0):
    sys.exit("no32: seccomp: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[1], sys.argv[1:])
