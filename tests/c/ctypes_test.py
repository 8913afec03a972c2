"""The engine's C interface from Python's ctypes: a host in another language.

Usage: ctypes_test.py LIBRARY SCRATCH_DIR. Exits 0 when every check passed.
"""
import ctypes
import os
import sys


def main():
    lib = ctypes.CDLL(sys.argv[1])
    scratch = sys.argv[2]
    c_char_pp = ctypes.POINTER(ctypes.c_char_p)
    result_p = ctypes.c_void_p
    lib.orvexExecLua.restype = ctypes.c_int
    lib.orvexExecLua.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t,
                                 c_char_pp, ctypes.POINTER(ctypes.c_size_t), ctypes.c_size_t, ctypes.c_int,
                                 ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(result_p)]
    lib.orvexResultData.restype = ctypes.c_void_p
    lib.orvexResultData.argtypes = [result_p, ctypes.POINTER(ctypes.c_size_t)]
    lib.orvexResultFree.argtypes = [result_p]
    lib.orvexGetVarMap.restype = result_p
    lib.orvexGetVarMap.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
    lib.orvexResultCount.restype = ctypes.c_size_t
    lib.orvexResultCount.argtypes = [result_p]
    for name in ("orvexResultKey", "orvexResultValue"):
        getattr(lib, name).restype = ctypes.c_void_p
        getattr(lib, name).argtypes = [result_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
    lib.orvexGetVarInt.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]

    def text(data, size):
        return ctypes.string_at(data, size.value) if size.value else b""

    def run(script, function, args, result_in=b""):
        arg_array = (ctypes.c_char_p * len(args))(*args)
        size_array = (ctypes.c_size_t * len(args))(*[len(a) for a in args])
        result = result_p()
        ok = lib.orvexExecLua(script, len(script), function, len(function), arg_array, size_array, len(args), 0,
                              result_in, len(result_in), ctypes.byref(result))
        size = ctypes.c_size_t()
        data = lib.orvexResultData(result, ctypes.byref(size))
        value = text(data, size)
        lib.orvexResultFree(result)
        return ok, value

    script = os.path.join(scratch, "ctypes.lua").encode()
    with open(script, "wb") as f:
        f.write(b"t = {k = 'v'}\nn = 42\n"
                b"function orvexScriptMain(a, b) return a .. ':' .. #b end\n"
                b"function keep() end\n")
    failures = []
    checks = [
        (run(script, b"", [b"py", b"x\0y"]), (1, b"py:3")),
        (run(script, b"keep", [], b"as passed"), (1, b"as passed")),
        (run(script, b"missing", []), (0, b"isfunction fail")),
        (lib.orvexGetVarInt(script, len(script), b"n", 1, 0), 42),
    ]
    m = lib.orvexGetVarMap(script, len(script), b"t", 1, 0)
    ks, vs = ctypes.c_size_t(), ctypes.c_size_t()
    k = lib.orvexResultKey(m, 0, ctypes.byref(ks))
    v = lib.orvexResultValue(m, 0, ctypes.byref(vs))
    checks.append(((lib.orvexResultCount(m), text(k, ks), text(v, vs)), (1, b"k", b"v")))
    lib.orvexResultFree(m)
    for got, expected in checks:
        if got != expected:
            failures.append("got %r, expected %r" % (got, expected))
    os.remove(script)
    for f in failures:
        print("ctypes_test:", f)
    if not failures:
        print("ctypes_test: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
