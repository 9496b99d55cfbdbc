#!/usr/bin/env python3
"""Delay-import libraries for the functions a program calls.

    make-delay-imports.py --arch i686|x86_64 --nm NM --as AS --ar AR --out DIR
                          --dll NAME=IMPORT-LIBRARY ... -- OBJECT-OR-ARCHIVE...

For every DLL named with --dll, writes DIR/lib<NAME>.a holding one object:
the delay-load descriptor, the import address and name tables, and one
thunk per function that the given objects and archives call in that DLL
(their undefined symbols, matched against the functions the toolchain's
import library offers). A thunk's first call goes through
mingw-w64's __delayLoadHelper2, which loads the DLL and binds the slot.

The toolchain's own dlltool --output-delaylib is not used: GNU ld drops the
thunk of an import-library member when only its __imp_ slot is referenced,
as every call through a dllimport declaration does, and the slot is then
left null.
"""
import argparse
import os
import re
import subprocess
import tempfile


def symbols(nm, path, kind):
    out = subprocess.run([nm, path], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if re.match(r"^\s*[0-9a-fA-F]*\s+%s\s" % kind, line)}


def exported_functions(nm, import_library, prefix):
    """{symbol without the C prefix, e.g. MessageBeep@4: name in the DLL}."""
    functions = {}
    for symbol in symbols(nm, import_library, "T"):
        if not symbol.startswith(prefix):
            continue
        symbol = symbol[len(prefix):]
        functions[symbol] = symbol.split("@")[0]
    return functions


def assembly_i686(dll, functions):
    lines = [
        '\t.section .rdata,"dr"',
        "Ldll_name:\t.asciz \"%s\"" % dll,
        "\t.p2align 2",
        "Ldescriptor:",
        "\t.long 1",  # addresses are RVAs
        "\t.rva Ldll_name, Lmodule, Liat, Lint",
        "\t.long 0, 0, 0",
        "Lint:",
    ]
    lines += ["\t.rva Lname_%d" % i for i in range(len(functions))] + ["\t.long 0"]
    for i, (_, name) in enumerate(functions):
        lines += ["\t.p2align 1", "Lname_%d:\t.short 0" % i, "\t.asciz \"%s\"" % name]
    lines += ["\t.data", "\t.p2align 2", "Lmodule:\t.long 0", "Liat:"]
    for i, (symbol, _) in enumerate(functions):
        lines += ["\t.globl __imp__%s" % symbol, "__imp__%s:\t.long Lload_%d" % (symbol, i)]
    lines += ["\t.long 0", "\t.text"]
    for i, (symbol, _) in enumerate(functions):
        lines += ["\t.globl _%s" % symbol, "_%s:\tjmp *__imp__%s" % (symbol, symbol),
                  "Lload_%d:\tmovl $__imp__%s, %%eax" % (i, symbol), "\tjmp Lbind"]
    # The helper is stdcall (descriptor, slot) and returns the function.
    lines += ["Lbind:", "\tpushl %ecx", "\tpushl %edx", "\tpushl %eax", "\tpushl $Ldescriptor",
              "\tcall ___delayLoadHelper2@8", "\tpopl %edx", "\tpopl %ecx", "\tjmp *%eax"]
    return "\n".join(lines) + "\n"


def assembly_x86_64(dll, functions):
    lines = [
        '\t.section .rdata,"dr"',
        "Ldll_name:\t.asciz \"%s\"" % dll,
        "\t.p2align 2",
        "Ldescriptor:",
        "\t.long 1",
        "\t.rva Ldll_name, Lmodule, Liat, Lint",
        "\t.long 0, 0, 0",
        "\t.p2align 3",
        "Lint:",
    ]
    lines += ["\t.rva Lname_%d\n\t.long 0" % i for i in range(len(functions))] + ["\t.quad 0"]
    for i, (_, name) in enumerate(functions):
        lines += ["\t.p2align 1", "Lname_%d:\t.short 0" % i, "\t.asciz \"%s\"" % name]
    lines += ["\t.data", "\t.p2align 3", "Lmodule:\t.quad 0", "Liat:"]
    for i, (symbol, _) in enumerate(functions):
        lines += ["\t.globl __imp_%s" % symbol, "__imp_%s:\t.quad Lload_%d" % (symbol, i)]
    lines += ["\t.quad 0", "\t.text"]
    for i, (symbol, _) in enumerate(functions):
        lines += ["\t.globl %s" % symbol, "%s:\tjmp *__imp_%s(%%rip)" % (symbol, symbol),
                  "Lload_%d:\tleaq __imp_%s(%%rip), %%rax" % (i, symbol), "\tjmp Lbind"]
    # The argument registers, integer and vector, survive the helper call.
    lines += ["Lbind:", "\tpushq %rcx", "\tpushq %rdx", "\tpushq %r8", "\tpushq %r9", "\tsubq $0x68, %rsp"]
    lines += ["\tmovdqu %%xmm%d, 0x%x(%%rsp)" % (i, 0x20 + 16 * i) for i in range(4)]
    lines += ["\tmovq %rax, %rdx", "\tleaq Ldescriptor(%rip), %rcx", "\tcall __delayLoadHelper2"]
    lines += ["\tmovdqu 0x%x(%%rsp), %%xmm%d" % (0x20 + 16 * i, i) for i in range(4)]
    lines += ["\taddq $0x68, %rsp", "\tpopq %r9", "\tpopq %r8", "\tpopq %rdx", "\tpopq %rcx", "\tjmp *%rax"]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True, choices=("i686", "x86_64"))
    parser.add_argument("--nm", required=True)
    parser.add_argument("--as", dest="assembler", required=True)
    parser.add_argument("--ar", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--dll", action="append", required=True)
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args()
    c_prefix = "_" if args.arch == "i686" else ""
    imp_prefix = "__imp_" + c_prefix

    # Calls through a dllimport declaration name the slot (__imp_), the others
    # the thunk.
    imported = set()
    for path in args.inputs:
        for symbol in symbols(args.nm, path, "U"):
            if symbol.startswith(imp_prefix):
                imported.add(symbol[len(imp_prefix):])
            elif symbol.startswith(c_prefix):
                imported.add(symbol[len(c_prefix):])

    os.makedirs(args.out, exist_ok=True)
    taken = set()
    for pair in args.dll:
        dll, import_library = pair.split("=", 1)
        offered = exported_functions(args.nm, import_library, c_prefix)
        # A function that two import libraries offer goes to the first DLL named.
        functions = sorted((s, offered[s]) for s in imported - taken if s in offered)
        taken |= {s for s, _ in functions}
        make = assembly_i686 if args.arch == "i686" else assembly_x86_64
        library = os.path.join(args.out, "lib%s.a" % dll)
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, dll + ".s")
            with open(source, "w") as handle:
                handle.write(make(dll + ".dll", functions))
            obj = os.path.join(work, dll + "_delay.o")
            subprocess.run([args.assembler, "-o", obj, source], check=True)
            if os.path.exists(library):
                os.remove(library)
            subprocess.run([args.ar, "rcs", library, obj], check=True)


if __name__ == "__main__":
    main()
