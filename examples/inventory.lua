-- Describes a directory as JSON: each file's size and MD5, newest first.
-- orvex run examples/inventory.lua /etc/apt
function orvexScriptMain(dir)
    dir = dir or "."
    local files = orvexUtil.GetAllFileFromDir(dir) or {}
    local entries = {}
    for _, path in ipairs(files) do
        if orvexUtil.IsFile(path) then
            entries[#entries + 1] = {
                name = orvexUtil.GetFileNameFromPath(path),
                size = orvexUtil.GetFileSize(path),
                md5 = orvexAlgorithm.GetFileMd5(path),
                modified = orvexUtil.GetFileLastModified(path),
            }
        end
    end
    table.sort(entries, function(a, b) return (a.modified or "") > (b.modified or "") end)
    local rows = {}
    for i, e in ipairs(entries) do
        rows[i] = orvexJson.GetJsonBuffer({name = e.name, size = e.size, md5 = e.md5 or "",
                                           modified = e.modified or ""})
    end
    return "[" .. table.concat(rows, ",") .. "]"
end
