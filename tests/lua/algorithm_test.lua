-- orvexAlgorithm against Python's hashlib, zlib and base64 and the openssl command.
-- On Windows (under Wine) the scripts cannot run those Linux peers: they
-- compare with what the peers made of the same data (fixtures/peers).
function orvexScriptMain(luaDir, tmpDir, fixtureDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local A = orvexAlgorithm
    local V = dofile(fixtureDir .. "/peers/algorithm.lua")
    local noPeers = "a script under Wine cannot run the Linux peer (cmd.exe finds none); the C++ test WindowsPeers checks it"

    local q, write, read = T.shellQuote, T.write, T.read
    local function sh(cmd) return os.execute(cmd .. " 2>/dev/null") == 0 end
    -- Output of a Python snippet run with the paths as sys.argv[1..].
    local pyN = 0
    local function py(code, ...)
        pyN = pyN + 1
        local file = tmpDir .. "/snippet" .. pyN .. ".py"
        write(file, "import sys, hashlib, zlib, base64\n" .. code .. "\n")
        local args = {}
        for i, a in ipairs({...}) do args[i] = q(a) end
        local p = io.popen("python3 " .. q(file) .. " " .. table.concat(args, " "))
        local out = p:read("*a") p:close()
        return out
    end
    local function sample(n, seed)
        local t = {}
        for i = 1, n do t[i] = string.char((i * (seed or 31) + math.floor(i / 7)) % 256) end
        return table.concat(t)
    end
    local data = sample(200000) .. "\0\0\255"
    write(tmpDir .. "/data.bin", data)
    local keys = { sample(16, 3), sample(24, 5), sample(32, 7) }

    return T.run({
        ["MD5 of buffers and files matches hashlib"] = function()
            T.eq(A.GetBufferMd5("abc"), "900150983cd24fb0d6963f7d28e17f72")
            local expected = T.isWindows and V.md5 or
                py("print(hashlib.md5(open(sys.argv[1], 'rb').read()).hexdigest(), end='')", tmpDir .. "/data.bin")
            T.eq(#expected, 32)
            T.eq(A.GetBufferMd5(data), expected)
            T.eq(A.GetFileMd5(tmpDir .. "/data.bin"), expected)
            T.eq(T.nresults(A.GetFileMd5(tmpDir)), 0, "directory")
            T.eq(T.nresults(A.GetFileMd5(tmpDir .. "/missing")), 0, "missing")
            T.raises("argv error", A.GetBufferMd5, "")
            T.raises("argv error", A.GetFileMd5, {})
            T.raises("argv error", A.GetFileMd5, "a", "b")
        end,
        ["CRC matches zlib.crc32 as a signed 32-bit number"] = function()
            local expected = T.isWindows and V.crc or
                py("for s in [b'a', b'abc', open(sys.argv[1], 'rb').read()]:\n" ..
                   "    c = zlib.crc32(s)\n    print(c - (1 << 32) if c >= 1 << 31 else c)", tmpDir .. "/data.bin")
            local got = A.GetCRC("a") .. "\n" .. A.GetCRC("abc") .. "\n" .. A.GetCRC(data) .. "\n"
            T.eq(got, expected)
            T.ok(A.GetCRC("a") < 0, "top bit set reads negative")
            T.raises("argv error", A.GetCRC, "")
        end,
        ["Base64 matches Python's base64"] = function()
            local encoded = A.Base64Encode(data)
            if T.isWindows then
                T.eq(A.GetBufferMd5(encoded), V.base64Md5)
            else
                T.eq(encoded, py("print(base64.b64encode(open(sys.argv[1], 'rb').read()).decode(), end='')",
                                 tmpDir .. "/data.bin"))
            end
            T.ok(A.Base64Decode(encoded) == data, "decode")
            T.eq(A.Base64Encode("\0"), "AA==")
            T.eq(A.Base64Decode("AGIA"), "\0b\0")
            T.eq(A.Base64Decode("\255\254 not base64"), "")
            T.eq(A.Base64Decode("QUJD\r\nQQ =="), "ABCA", "white space is skipped")
            T.eq(A.Base64Decode("QUI="), "AB")
            -- Text that is not Base64 decodes to nothing, not to a part.
            for _, bad in ipairs({"QUJD-garbage", "QQ==QUJD", "QUJ", "Q===", "====", "QU=D", "QUJD!"}) do
                T.eq(A.Base64Decode(bad), "", bad)
            end
            T.eq(A.Base64Decode(string.rep("A", 1048575) .. "=QUJD"), "", "padding in the middle of a long text")
            local long = string.rep("\1\2\3", 700000) .. "xy"
            T.ok(A.Base64Decode(A.Base64Encode(long)) == long, "a long text with padding")
            T.raises("argv error", A.Base64Encode, "")
            T.raises("argv error", A.Base64Decode, "")
        end,
        ["AES round trips with each key length and a fresh IV"] = function()
            for _, key in ipairs(keys) do
                local c1, c2 = A.AesEncrypt(data, key), A.AesEncrypt(data, key)
                T.eq(#c1, 16 + (math.floor(#data / 16) + 1) * 16, "IV plus padded length")
                T.ok(c1 ~= c2, "random IV")
                T.ok(A.AesDecrypt(c1, key) == data, "decrypts")
                T.eq(A.AesDecrypt(A.AesEncrypt("\0", key), key), "\0")
            end
            T.raises("aesEncrypt error.", A.AesEncrypt, data, "short key")
            T.raises("aesDecrypt error.", A.AesDecrypt, A.AesEncrypt(data, keys[1]), "short key")
            T.raises("aesDecrypt error.", A.AesDecrypt, string.rep("x", 40), keys[1])
            T.raises("aesDecrypt error.", A.AesDecrypt, string.rep("x", 16), keys[1])
            T.raises("argv error", A.AesEncrypt, "", keys[1])
            T.raises("argv error", A.AesDecrypt, data)
        end,
        ["AES decrypts what openssl enc made"] = function()
            local plain = data:sub(1, 1000)
            for i, v in ipairs(V.aes) do
                local key, iv = orvexUtil.fromHex(v.key), orvexUtil.fromHex(v.iv)
                T.eq(key, keys[i], "the test's key")
                T.ok(A.AesDecrypt(iv .. orvexUtil.fromHex(v.cipher), key) == plain, "stored vector " .. i)
                T.ok(A.OpensslAesDecryptHex(v.iv .. v.cipher:upper(), key) == plain, "hex form " .. i)
                -- 1000 bytes end in 8 padding bytes; changing the block before
                -- changes the first of them only, and every one is checked.
                local c = orvexUtil.fromHex(v.cipher)
                local at = #c - 31 + 8
                local bad = c:sub(1, at - 1) .. string.char((c:byte(at) + 1) % 256) .. c:sub(at + 1)
                T.raises("aesDecrypt error.", A.AesDecrypt, iv .. bad, key)
            end
        end,
        ["AES interoperates with openssl enc"] = function()
            if T.isWindows then T.skip(noPeers) end
            for i, key in ipairs(keys) do
                local mode = "-aes-" .. (#key * 8) .. "-cbc -K " .. orvexUtil.toHex(key)
                -- Ours to openssl: the first 16 bytes are the IV.
                local c = A.AesEncrypt(data, key)
                write(tmpDir .. "/ct" .. i, c:sub(17))
                T.ok(sh("openssl enc -d " .. mode .. " -iv " .. orvexUtil.toHex(c:sub(1, 16)) ..
                        " -in " .. q(tmpDir .. "/ct" .. i) .. " -out " .. q(tmpDir .. "/pt" .. i)), "openssl -d")
                T.ok(read(tmpDir .. "/pt" .. i) == data, "openssl decrypts ours")
                -- openssl to ours.
                local iv = sample(16, 11 + i)
                T.ok(sh("openssl enc " .. mode .. " -iv " .. orvexUtil.toHex(iv) .. " -in " ..
                        q(tmpDir .. "/data.bin") .. " -out " .. q(tmpDir .. "/oc" .. i)), "openssl -e")
                T.ok(A.AesDecrypt(iv .. read(tmpDir .. "/oc" .. i), key) == data, "we decrypt openssl's")
                -- The hexadecimal pair is the same cipher text as lowercase hex.
                local hex = A.OpensslAesEncryptHex(data, key)
                T.ok(hex:match("^[0-9a-f]+$") ~= nil, "lowercase hex")
                local raw = orvexUtil.fromHex(hex)
                write(tmpDir .. "/hx" .. i, raw:sub(17))
                T.ok(sh("openssl enc -d " .. mode .. " -iv " .. orvexUtil.toHex(raw:sub(1, 16)) ..
                        " -in " .. q(tmpDir .. "/hx" .. i) .. " -out " .. q(tmpDir .. "/hp" .. i)), "openssl hex")
                T.ok(read(tmpDir .. "/hp" .. i) == data, "openssl decrypts the hex form")
                T.ok(A.OpensslAesDecryptHex(hex, key) == data, "hex round trip")
                T.ok(A.OpensslAesDecryptHex(hex:upper(), key) == data, "upper case accepted")
            end
        end,
        ["the hex pair fails quietly where the raw pair raises"] = function()
            local bad = string.rep("ab", 40)
            T.raises("aesDecrypt error.", A.AesDecrypt, bad, keys[1])
            T.eq(T.nresults(A.OpensslAesDecryptHex(bad, keys[1])), 0)
            T.eq(T.nresults(A.OpensslAesDecryptHex("not hex at all!!", keys[1])), 0)
            T.eq(T.nresults(A.OpensslAesEncryptHex(data, "bad key")), 0)
            T.raises("argv error", A.OpensslAesEncryptHex, data, "")
        end,
    })
end
