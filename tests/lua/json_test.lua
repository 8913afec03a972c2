-- orvexJson: values out of JSON text, JSON text out of flat tables, JSON text into tables.
function orvexScriptMain(luaDir)
    local T = dofile(luaDir .. "/helpers.lua")
    local J = orvexJson

    -- Asserts that fn(...) returns no value at all.
    local function none(what, fn, ...)
        T.eq(T.nresults(fn(...)), 0, what)
    end

    -- Nesting of `levels` arrays around 1.
    local function nested(levels)
        return string.rep("[", levels) .. "1" .. string.rep("]", levels)
    end

    return T.run({
        ["GetJsonValue: strings and 32-bit integers only"] = function()
            T.eq(J.GetJsonValue('{"a":"x"}', "a"), "x")
            T.eq(J.GetJsonValue('{"a":5}', "a"), "5")
            T.eq(J.GetJsonValue('{"a":-7}', "a"), "-7")
            T.eq(J.GetJsonValue('{"a":-2147483648}', "a"), "-2147483648")
            T.eq(J.GetJsonValue('{"a":2147483647}', "a"), "2147483647")
            for _, v in ipairs({"2147483648", "-2147483649", "1.0", "1e2", "true", "false", "null",
                "[1]", '{"b":1}'}) do
                none("a = " .. v, J.GetJsonValue, '{"a":' .. v .. "}", "a")
            end
            none("missing member", J.GetJsonValue, '{"a":"x"}', "b")
            T.eq(J.GetJsonValue('{"k":"1","k":"2"}', "k"), "1", "first of equal names")
            T.eq(J.GetJsonValue('{"a":"\\"q\\"\\n\\u00e9"}', "a"), '"q"\n\195\169', "escapes decoded")
            T.eq(J.GetJsonValue('{"12":"n"}', 12), "n", "a number key reads as its text")
        end,
        ["GetJsonValue: path keys name the enclosing objects outermost first"] = function()
            local doc = '{"a":{"b":{"c":"v"}}}'
            T.eq(J.GetJsonValue(doc, "c", "a", "b"), "v")
            none("path order matters", J.GetJsonValue, doc, "c", "b", "a")
            none("b is a string", J.GetJsonValue, '{"a":{"b":"v"}}', "c", "a", "b")
            none("missing path member", J.GetJsonValue, doc, "c", "a", "x")
            T.eq(J.GetJsonValue('{"":{"c":"v"}}', "c", ""), "v", "an empty path key names the empty member")
        end,
        ["GetJsonValue: only a complete top-level object parses"] = function()
            none("top-level null", J.GetJsonValue, "null", "a")
            none("top-level array", J.GetJsonValue, '[{"a":"x"}]', "a")
            none("trailing text", J.GetJsonValue, '{"a":"x"} {}', "a")
            none("trailing comma", J.GetJsonValue, '{"a":"x",}', "a")
            none("comment", J.GetJsonValue, '{"a":"x"} // c', "a")
            T.eq(J.GetJsonValue('{"a":"x"}\0garbage', "a"), "x", "text ends at a NUL byte")
            T.eq(J.GetJsonValue(' \t\r\n{"a":"x"}\n', "a"), "x", "white space around")
        end,
        ["only a whole byte-order mark is skipped"] = function()
            T.eq(J.GetJsonValue('\239\187\191{"a":"x"}', "a"), "x")
            T.eq(J.JsonToTable('\239\187\191{"a":1}').a, 1)
            T.eq(J.JsonToTable('\239\187\191[2]', 0), "[2]")
            for _, mark in ipairs({"\239", "\239\187", "\187\191", "\239\191"}) do
                none("part of a mark", J.GetJsonValue, mark .. '{"a":"x"}', "a")
                none("part of a mark", J.JsonToTable, mark .. "{}", 0)
                none("part of a mark", J.JsonToTable, mark .. '{"a":1}')
            end
            -- Embedded by GetJsonBuffer only when the text parses as JSON.
            T.eq(J.GetJsonBuffer({a = '\239\187[1]'}), '{"a":"\239\187[1]"}')
        end,
        ["an escaped NUL ends a string"] = function()
            T.eq(J.GetJsonValue('{"a":"a\\u0000b"}', "a"), "a")
            T.eq(J.JsonToTable('{"a":"a\\u0000b"}').a, "a")
            local t = J.JsonToTable('{"k\\u0000x":1}')
            T.eq(t.k, 1, "member name up to the NUL")
        end,
        ["argv errors"] = function()
            T.raises("argv error", J.GetJsonValue, "", "a")
            T.raises("argv error", J.GetJsonValue, '{"a":"x"}', "")
            T.raises("argv error", J.GetJsonValue, '{"a":"x"}')
            T.raises("argv error", J.GetJsonBuffer)
            T.raises("argv error", J.GetJsonBuffer, "{}")
            T.raises("argv error", J.GetJsonBuffer, {}, {})
            T.raises("argv error", J.GetJsonArray, nil)
            T.raises("argv error", J.JsonToTable)
        end,
        ["GetJsonBuffer: members are texts, booleans or embedded JSON"] = function()
            T.eq(J.GetJsonBuffer({}), "{}")
            T.eq(J.GetJsonBuffer({a = "x"}), '{"a":"x"}')
            T.eq(J.GetJsonBuffer({a = 1}), '{"a":"1"}')
            T.eq(J.GetJsonBuffer({a = 0.5}), '{"a":"0.5"}')
            T.eq(J.GetJsonBuffer({a = 1 / 3}), '{"a":"0.33333333333333"}', "%.14g")
            T.eq(J.GetJsonBuffer({a = true}), '{"a":true}')
            T.eq(J.GetJsonBuffer({a = false}), '{"a":false}')
            T.eq(J.GetJsonBuffer({a = "[1,2]"}), '{"a":[1,2]}')
            T.eq(J.GetJsonBuffer({a = ' \n[1, 2] '}), '{"a":[1,2]}', "embedded text is rewritten compact")
            T.eq(J.GetJsonBuffer({a = '{"b":1}'}), '{"a":{"b":1}}')
            T.eq(J.GetJsonBuffer({a = "12"}), '{"a":"12"}')
            T.eq(J.GetJsonBuffer({a = '"q"'}), '{"a":"\\"q\\""}')
            T.eq(J.GetJsonBuffer({a = "[1,"}), '{"a":"[1,"}', "broken JSON stays text")
            T.eq(J.GetJsonBuffer({a = "[1] x"}), '{"a":"[1] x"}')
            T.eq(J.GetJsonBuffer({a = {}}), "{}", "tables are skipped")
            T.eq(J.GetJsonBuffer({"x"}), '{"1":"x"}')
            T.eq(J.GetJsonBuffer({[2.5] = "x"}), '{"2.5":"x"}')
            T.eq(J.GetJsonBuffer({[true] = "x"}), '{"":"x"}')
            T.eq(J.GetJsonBuffer({s = 'say "hi"\\\n\t\1'}), '{"s":"say \\"hi\\"\\\\\\n\\t\\u0001"}')
        end,
        ["GetJsonBuffer: long texts, zero bytes and embedded texts among them"] = function()
            -- Past the writer's steps of 8 and pieces of 4096 bytes.
            local long = string.rep('ab"\0\127\200xyz', 1500)
            T.eq(J.GetJsonBuffer({k = long}), '{"k":"' .. string.rep('ab\\"\\u0000\127\200xyz', 1500) .. '"}')
            T.eq(J.GetJsonBuffer({k = "[" .. string.rep('"x",', 2000) .. "1]"}),
                 '{"k":[' .. string.rep('"x",', 2000) .. '1]}')
            T.eq(J.GetJsonArray({k = "[1]"}), '[{"k":"[1]"}]')
            -- A control byte at every place of a 16-byte step is escaped,
            -- in a value and in the names and strings of an embedded text.
            for n = 0, 33 do
                local pad = string.rep("p", n)
                T.eq(J.GetJsonBuffer({k = pad .. "\30"}), '{"k":"' .. pad .. '\\u001E"}')
                T.eq(J.GetJsonBuffer({k = '[{"' .. pad .. '\\u001e":"' .. pad .. '\\u001f"}]'}),
                     '{"k":[{"' .. pad .. '\\u001E":"' .. pad .. '\\u001F"}]}')
            end
        end,
        ["GetJsonBuffer: members follow traversal order, duplicates kept"] = function()
            local t = {[1] = "a", ["1"] = "b"}
            local order = {}
            for k, v in pairs(t) do order[#order + 1] = '"1":"' .. v .. '"' end
            T.eq(J.GetJsonBuffer(t), "{" .. table.concat(order, ",") .. "}")
            local big = {}
            for i = 1, 40 do big["k" .. i] = tostring(i) end
            local parts = {}
            for k, v in pairs(big) do parts[#parts + 1] = '"' .. k .. '":"' .. v .. '"' end
            T.eq(J.GetJsonBuffer(big), "{" .. table.concat(parts, ",") .. "}")
        end,
        ["GetJsonArray: one object, nothing embedded"] = function()
            T.eq(J.GetJsonArray({a = "[1,2]"}), '[{"a":"[1,2]"}]')
            T.eq(J.GetJsonArray({}), "[{}]")
        end,
        ["JsonToTable: kinds, nulls and names"] = function()
            local t = J.JsonToTable('{"a":1,"b":[1,null,3],"c":null,"d":true,"e":false,"f":"s","g":-2.5e1}')
            T.same(t, {a = 1, b = {1, nil, 3}, d = true, e = false, f = "s", g = -25})
            T.eq(T.count(t.b), 2)
            T.eq(t.b[3], 3)
            T.same(J.JsonToTable('{"":5,"a":1}'), {[""] = 5, a = 1})
            T.eq(J.JsonToTable('{"k":1,"k":2}').k, 2, "the last of equal names wins")
            T.eq(J.JsonToTable('{"k":1,"k":null}').k, nil, "a later null removes the entry")
            T.eq(J.JsonToTable('{"n":9007199254740993}').n, 2 ^ 53)
            T.eq(J.JsonToTable('{"n":18446744073709551615}').n, 2 ^ 64)
            T.eq(J.JsonToTable('{"s":"\\ud83d\\ude00"}').s, "\240\159\152\128", "surrogate pair")
            T.same(J.JsonToTable('{"a":{"b":{"c":[]}}}'), {a = {b = {c = {}}}})
        end,
        ["JsonToTable: no result"] = function()
            none("empty text", J.JsonToTable, "")
            none("parse error", J.JsonToTable, "{")
            none("top-level null", J.JsonToTable, "null")
            none("top-level null at depth 0", J.JsonToTable, "null", 0)
            for _, v in ipairs({"[1,2]", '"x"', "5", "true"}) do
                none("top-level " .. v, J.JsonToTable, v)
                none("top-level " .. v .. " at depth 2", J.JsonToTable, v, 2)
            end
        end,
        ["JsonToTable: the depth budget"] = function()
            local inner = '{"b":1}'
            T.eq(J.JsonToTable('{"a":' .. inner .. '}', 1).a, inner)
            T.eq(J.JsonToTable('{"a":' .. inner .. '}', 0), '{"a":{"b":1}}')
            T.eq(J.JsonToTable('{"a":' .. inner .. '}', nil), '{"a":{"b":1}}')
            T.eq(J.JsonToTable('{"a" : {"b" : 1}}', "deep"), '{"a":{"b":1}}', "not a number reads 0")
            T.eq(J.JsonToTable(" [1, 2] ", 0), "[1,2]")
            T.eq(J.JsonToTable('"x"', 0), '"x"')

            local doc = '{"o":{"a":[1,{"x":1}],"p":{"q":1}},"r":[[1,[2]],{"s":1}],"n":1}'
            local all = {o = {a = {1, {x = 1}}, p = {q = 1}}, r = {{1, {2}}, {s = 1}}, n = 1}
            T.same(J.JsonToTable(doc), all, "absent")
            T.same(J.JsonToTable(doc, -1), all, "-1")
            T.same(J.JsonToTable(doc, 1),
                {o = '{"a":[1,{"x":1}],"p":{"q":1}}', r = '[[1,[2]],{"s":1}]', n = 1}, "depth 1")
            T.same(J.JsonToTable(doc, 2),
                {o = '{"a":[1,{"x":1}],"p":{"q":1}}', r = {"[1,[2]]", '{"s":1}'}, n = 1}, "depth 2")
            T.same(J.JsonToTable(doc, 3),
                {o = {a = '[1,{"x":1}]', p = '{"q":1}'}, r = {{1, "[2]"}, '{"s":1}'}, n = 1}, "depth 3")
            T.same(J.JsonToTable(doc, 2.5),
                {o = '{"a":[1,{"x":1}],"p":{"q":1}}', r = {"[1,[2]]", '{"s":1}'}, n = 1}, "2.5 rounds to 2")
            T.same(J.JsonToTable(doc, 99), all, "a large depth")
            T.same(J.JsonToTable(doc, 2147483647), all, "the largest depth")
        end,
        ["nesting is bounded for every parse"] = function()
            local hostile = string.rep("[", 1000000)
            none("a million brackets", J.JsonToTable, '{"a":' .. hostile)
            none("a million brackets, closed", J.JsonToTable, '{"a":' .. nested(100000) .. "}")
            none("GetJsonValue", J.GetJsonValue, '{"a":' .. nested(600) .. ',"b":"x"}', "b")
            local tooDeep = nested(512)  -- 513 levels with the enclosing object
            none("one level too deep", J.JsonToTable, '{"a":' .. tooDeep .. "}")
            T.eq(J.GetJsonBuffer({a = tooDeep}), '{"a":"' .. tooDeep .. '"}', "too deep to embed: text")
            T.eq(J.GetJsonArray({a = tooDeep}), '[{"a":"' .. tooDeep .. '"}]')
            T.eq(J.GetJsonBuffer({a = hostile}), '{"a":"' .. hostile .. '"}')

            -- The deepest document allowed converts completely.
            local t = J.JsonToTable('{"a":' .. nested(511) .. "}")
            local levels, v = 0, t.a
            while type(v) == "table" do levels, v = levels + 1, v[1] end
            T.eq(levels, 511)
            T.eq(v, 1)
            local deepObjects = string.rep('{"k":', 511) .. "1" .. string.rep("}", 511)
            levels, v = 0, J.JsonToTable(deepObjects)
            while type(v) == "table" do levels, v = levels + 1, v.k end
            T.eq(levels, 511)
            T.eq(J.JsonToTable(deepObjects, 0), deepObjects)
            local filler = {}
            for i = 1, 7000 do filler[i] = i end
            T.eq(type(J.JsonToTable(deepObjects, -1, unpack(filler))), "table", "ignored arguments")
            local allowed = J.GetJsonBuffer({a = nested(511)})
            T.eq(allowed, '{"a":' .. nested(511) .. "}")
            T.eq(T.nresults(J.JsonToTable(allowed)), 1, "what GetJsonBuffer embeds parses again")
            T.eq(J.GetJsonValue(string.rep('{"k":', 511) .. '{"c":"v"}' .. string.rep("}", 511), "c",
                unpack((function() local p = {} for i = 1, 511 do p[i] = "k" end return p end)())), "v")
        end,
        ["GetJsonBuffer and JsonToTable agree"] = function()
            local t = {name = "n\"\\/\1", list = '[1,"two",{"three":[3]}]', obj = '{"x":null}', flag = true}
            local back = J.JsonToTable(J.GetJsonBuffer(t))
            T.same(back, {name = "n\"\\/\1", list = {1, "two", {three = {3}}}, obj = {}, flag = true})
        end,
    })
end
