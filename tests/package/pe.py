"""A reader of the parts of a PE file (a Windows executable) that the package tests look at: the
section table and the resource tree."""

import struct


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        (self.machine, nsections, _, symtab, nsymbols, optsize, _) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        # The data directories follow the fixed fields, which are longer in PE32+.
        directories = opt + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(16)]
        strings = symtab + 18 * nsymbols  # the COFF string table: long section names
        self.sections = []
        for i in range(nsections):
            raw, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", d, opt + optsize + 40 * i)
            name = raw.rstrip(b"\0").decode("latin-1")
            if name.startswith("/"):
                start = strings + int(name[1:])
                name = d[start:d.index(b"\0", start)].decode("latin-1")
            self.sections.append((name, vaddr, vsize, rawptr, rawsize))

    def section(self, name):
        for section, _, vsize, rawptr, rawsize in self.sections:
            if section == name:
                # The file holds the section rounded up; its own size is the virtual one.
                return self.data[rawptr:rawptr + (min(vsize, rawsize) if vsize else rawsize)]
        return None

    def offset(self, rva):
        for _, vaddr, vsize, rawptr, rawsize in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError(f"RVA {rva:#x} is in no section")

    def resources(self):
        """Every resource as {(type, name, language): bytes}; ids are numbers, names strings."""
        rva, size = self.directories[2]
        if not size:
            return {}
        base = self.offset(rva)
        d = self.data
        found = {}

        def key(entry):
            if entry & 0x80000000:
                at = base + (entry & 0x7FFFFFFF)
                n = struct.unpack_from("<H", d, at)[0]
                return d[at + 2:at + 2 + 2 * n].decode("utf-16-le")
            return entry

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", d, at + 12)
            for i in range(named + ids):
                entry, target = struct.unpack_from("<II", d, at + 16 + 8 * i)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (key(entry),))
                else:
                    data_rva, data_size = struct.unpack_from("<II", d, base + target)
                    start = self.offset(data_rva)
                    found[path + (key(entry),)] = d[start:start + data_size]

        walk(base, ())
        return found


def version_info(block):
    """A VS_VERSIONINFO resource as (fixed file info as a tuple of 13 DWORDs, {string: value},
    [translations as (language, code page)], [string table keys])."""

    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end_key = at + 6
        while block[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        name = block[at + 6:end_key].decode("utf-16-le")
        value_at = (end_key + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = block[value_at:value_at + value_size]
        children, child = [], (value_at + value_size + 3) & ~3
        while child < at + length:
            children.append(node(child))
            child = (child + children[-1][3] + 3) & ~3
        return name, value, children, length

    name, value, children, _ = node(0)
    if name != "VS_VERSION_INFO" or len(value) != 52:
        raise ValueError("not a VS_VERSIONINFO with fixed file information")
    fixed = struct.unpack("<13I", value)
    strings, translations, tables = {}, [], []
    for child_name, _, grandchildren, _ in children:
        if child_name == "StringFileInfo":
            for table, _, entries, _ in grandchildren:
                tables.append(table)
                for key, text, _, _ in entries:
                    strings[key] = text.decode("utf-16-le").rstrip("\0")
        elif child_name == "VarFileInfo":
            for var, data, _, _ in grandchildren:
                if var == "Translation":
                    translations += [struct.unpack_from("<HH", data, i) for i in range(0, len(data), 4)]
    return fixed, strings, translations, tables
