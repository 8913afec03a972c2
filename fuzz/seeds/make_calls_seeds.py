#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_calls (fuzz/corpus/calls/) from readable
call sequences. An input is read by FuzzedDataProvider: strings from the
front, integers from the back (the first integer read is the last byte), so
each sequence is turned into both parts here. Run from the repository:
python3 fuzz/seeds/make_calls_seeds.py"""
import os

LIBS = {
    "orvexUtil": "Terminate StartProcess ExecCommand ExecCommandReadAll Exec HttpGetToFile HttpGetToBuffer "
                 "HttpPostFromFile HttpPostFromBuffer miniUnzip DirzipFile Compress UnCompress zlibCompress "
                 "GetSystemVersion IsX64System GetAppPath IsFile IsDir mkdir CopyDirectoryFile CopyFileUtil "
                 "RemoveFile RemoveDir RemoveFileInDir GetAllFileFromDir GetOneFileFromDir GetFileOwner "
                 "GetFileCreateTime GetFileLastModified WriteNewFile WriteAppenFile WriteOffsetFile ReadFullFile "
                 "ReadOffsetFile GetBufferSize GetFileSize msleep trimmed absoluteFilePath GetFileNameFromPath "
                 "DebugLog contains ConverBufferToString ConverStringToBuffer currentMSecsSinceEpoch toHex fromHex "
                 "GetRootDiskFreeSpace",
    "orvexConfig": "GetVMid GetMachineUuid GetIdentityIp GetPlatInfo GetCurrentVersion GetServiceIp GetUuid",
    "orvexProcess": "KillProcByName GetAllProcessList KillProcById GetProcessIdByName GetProcCommandLine "
                    "GetProcPath CheckProcessAlive GetPPid StartProcess",
    "orvexAlgorithm": "GetBufferMd5 GetFileMd5 AesEncrypt AesDecrypt OpensslAesEncryptHex OpensslAesDecryptHex "
                      "GetCRC Base64Encode Base64Decode",
    "orvexNetWork": "GetLocalHostName GetAllIpByDomain GetUrlHost SendTcpMessage IsLoginServer",
    "orvexLibrary": "CallModuleFuncWithParam LoadModule CloseModule IsLoadLibrary",
    "orvexJson": "GetJsonValue GetJsonBuffer GetJsonArray JsonToTable",
    "orvexIni": "GetIniValue SetIniValue RemoveKeyValue",
    "orvexSqlite": "execDml execQuery",
    "orvexLoadLua": "LoadModule",
    "orvexIpc": "WriteToClient",
    "orvexThread": "CreateThreadWithScript IsThreadRunning",
    "orvexWindows": "winInstallService winRInstallService winRStartService",
    "orvexKorin": "StartKorin StopKorin UnInstallKorin RequestRule",
    "orvexProc": "RefreshProcList",
}
FUNCTIONS = sorted(f"{lib}.{fn}" for lib, fns in LIBS.items() for fn in fns.split())
NAMES = ["x", "d", "d/y", "a.zip", "f.ini", "j.json", "g.gz", "db", "new", "new/deep/er", ".", "..", "/",
         "../x", "/etc/passwd", "d/../x", "x\0y", "~", "m", "sub/n", "e", "plain", "../s", "out.zip", "lib.so"]
SPECIAL = ["nan", "inf", "-inf", "2^31", "-2^31-1", "2^32", "2^53+1", "-2^53", "1e308", "-1e308", "-0", "12.7",
           "2.5", "0.5", "-1", "65536", "1e-300", "denorm"]


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # integers' bytes in the order they are read

    def integer(self, value, lo, hi):
        span, size = hi - lo, 0
        while size < 8 and (span >> (8 * size)) > 0:
            size += 1
        v = value - lo
        self.back += [(v >> (8 * (size - 1 - i))) & 0xff for i in range(size)]

    def string(self, text):
        data = text.encode("latin-1") if isinstance(text, str) else text
        self.front += data.replace(b"\\", b"\\\\") + b"\\n"

    def value(self, v):
        if v is None: self.integer(0, 0, 21)
        elif v is True: self.integer(1, 0, 21)
        elif v is False: self.integer(2, 0, 21)
        elif isinstance(v, int): self.integer(4, 0, 21); self.integer(v, -2**31, 2**31 - 1)
        elif isinstance(v, tuple):  # (kind, detail)
            kind, detail = v[0], v[1] if len(v) > 1 else None
            if kind == "name": self.integer(8, 0, 21); self.integer(NAMES.index(detail), 0, len(NAMES) - 1)
            elif kind == "special": self.integer(5, 0, 21); self.integer(SPECIAL.index(detail), 0, len(SPECIAL) - 1)
            elif kind == "long": self.integer(10, 0, 21); self.string(detail)
            elif kind == "list": self.integer(12, 0, 21); self.integer(len(detail), 0, 4); [self.value(e) for e in detail]
            elif kind == "nested": self.integer(14, 0, 21); self.integer(detail, 1, 300)
            elif kind == "previous": self.integer(21, 0, 21); self.integer(detail, 1, 8)
            else: self.integer({"empty": 11, "self": 15, "function": 16, "cfunction": 17, "coroutine": 18,
                                "userdata": 19, "light": 20, "emptystring": 7}[kind], 0, 21)
        else: self.integer(6, 0, 21); self.string(v)

    def call(self, name, *args, coroutine=False):
        self.integer(FUNCTIONS.index(name), 0, len(FUNCTIONS) - 1)
        # The argument count is the byte modulo 7; 0xc0 and up runs the call in a coroutine.
        self.integer(0xc0 + (len(args) - 0xc0) % 7 if coroutine else len(args), 0, 255)
        for a in args:
            self.value(a)

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def N(name): return ("name", name)


SEEDS = {
    "files": [("orvexUtil.WriteNewFile", "x2", "new contents\0with a zero"), ("orvexUtil.ReadFullFile", "x2"),
              ("orvexUtil.CopyFileUtil", N("x"), "y"), ("orvexUtil.GetAllFileFromDir", N(".")),
              ("orvexUtil.WriteOffsetFile", "o", 70000, "tail"), ("orvexUtil.ReadOffsetFile", "o", 69999, 10),
              ("orvexUtil.mkdir", N("new/deep/er")), ("orvexUtil.CopyDirectoryFile", N("d"), N("new")),
              ("orvexUtil.RemoveDir", N("new")), ("orvexUtil.GetFileOwner", N("d/y")),
              ("orvexUtil.RemoveFileInDir", N("."))],
    "archives": [("orvexUtil.miniUnzip", N("a.zip"), "out"), ("orvexUtil.DirzipFile", N("d"), N("out.zip")),
                 ("orvexUtil.miniUnzip", N("out.zip"), N("new/deep/er")), ("orvexUtil.ReadFullFile", N("g.gz")),
                 ("orvexUtil.UnCompress", ("previous", 4)), ("orvexUtil.zlibCompress", ("long", "ab")),
                 ("orvexUtil.UnCompress", ("previous", 6))],
    "data": [("orvexUtil.ReadFullFile", N("j.json")), ("orvexJson.JsonToTable", ("previous", 1), 2),
             ("orvexJson.GetJsonBuffer", ("previous", 2)), ("orvexJson.GetJsonValue", ("previous", 1), "a"),
             ("orvexIni.SetIniValue", N("f.ini"), "a/b", "v"), ("orvexIni.GetIniValue", N("f.ini"), "A/B"),
             ("orvexIni.RemoveKeyValue", N("f.ini"), "top"),
             ("orvexSqlite.execDml", N("db"), "create table t(a, b); insert into t values(1, 'x'), (2.5, x'00')"),
             ("orvexSqlite.execQuery", N("db"), "select a, b from t"),
             ("orvexSqlite.execDml", N("db"), "attach 'other' as o; vacuum into 'copy'")],
    "processes": [("orvexUtil.ExecCommand", "anything", 0, "a", "", ("special", "nan")),
                  ("orvexUtil.ExecCommand", "anything", 10, "sleep"),
                  ("orvexUtil.ExecCommandReadAll", "x", -1, None, "b"), ("orvexUtil.Exec", "echo $HOME; exit 3"),
                  ("orvexProcess.StartProcess", "p", N("d"), "arg"), ("orvexProcess.KillProcById", 1),
                  ("orvexProcess.GetPPid", -1), ("orvexProcess.GetProcCommandLine", 1),
                  ("orvexProcess.KillProcByName", "init"), ("orvexUtil.msleep", ("special", "1e308"))],
    "http": [("orvexUtil.HttpGetToBuffer", "a"), ("orvexUtil.HttpPostFromBuffer", "bb", ("long", "body")),
             ("orvexUtil.HttpGetToFile", "redirect", "got"), ("orvexUtil.HttpPostFromFile", "c", N("x")),
             ("orvexNetWork.GetAllIpByDomain", "localhost"), ("orvexNetWork.GetUrlHost", "http://u@h.example:8/p")],
    "algorithm": [("orvexAlgorithm.AesEncrypt", ("long", "p"), "0123456789abcdef"),
                  ("orvexAlgorithm.AesDecrypt", ("previous", 1), "0123456789abcdef"),
                  ("orvexAlgorithm.OpensslAesEncryptHex", "data", "k" * 24),
                  ("orvexAlgorithm.OpensslAesDecryptHex", ("previous", 3), "k" * 24),
                  ("orvexAlgorithm.Base64Decode", "aGVsbG8=\n"), ("orvexAlgorithm.GetCRC", ("previous", 5)),
                  ("orvexAlgorithm.GetFileMd5", N("x")), ("orvexUtil.fromHex", "00fF"),
                  ("orvexAlgorithm.AesDecrypt", "short", "bad key")],
    "modules": [("orvexLoadLua.LoadModule", N("m")), ("orvexLoadLua.LoadModule", N("sub/n")),
                ("orvexLoadLua.LoadModule", N("../s")), ("orvexLoadLua.LoadModule", N("e")),
                ("orvexLoadLua.LoadModule", N("plain")),
                ("orvexThread.CreateThreadWithScript", "t", "script", "a", ("empty",)),
                ("orvexThread.IsThreadRunning", "t"), ("orvexLibrary.LoadModule", N("lib.so")),
                ("orvexLibrary.CallModuleFuncWithParam", N("lib.so"), "free", "x"),
                ("orvexWindows.winInstallService", "svc", "path"), ("orvexKorin.StartKorin",),
                ("orvexConfig.GetVMid",), ("orvexIpc.WriteToClient", "c", "d")],
    "odd-values": [("orvexJson.GetJsonBuffer", ("self",)), ("orvexJson.GetJsonArray", ("nested", 300)),
                   ("orvexUtil.GetBufferSize", ("coroutine",)), ("orvexUtil.contains", ("function",), ("userdata",)),
                   ("orvexUtil.trimmed", ("light",)), ("orvexUtil.WriteOffsetFile", "z", ("special", "-2^31-1"), "d"),
                   ("orvexUtil.IsFile", ("special", "2^53+1")), ("orvexUtil.toHex", ("list", [1, "two", ("empty",)])),
                   ("orvexUtil.DebugLog", ("emptystring",)), ("orvexUtil.Terminate",)],
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(__file__), "..", "corpus", "calls")
    os.makedirs(out, exist_ok=True)
    for name, calls in SEEDS.items():
        inp = Input()
        for i, (fn, *args) in enumerate(calls):
            inp.call(fn, *args, coroutine=(i % 4 == 3))
        with open(os.path.join(out, name), "wb") as f:
            f.write(inp.bytes())
