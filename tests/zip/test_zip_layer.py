"""The extraction layer under Wine, on archives crafted byte by byte."""
import os
import time
import unittest
import zipfile

import quillon_harness as h
import zipcraft as zc
from update_server import signed_manifest
from zipcraft import Member

PROBE = h.exe("zip_probe")
HOLDER = h.exe("hold_staged")

OK, CANNOT_OPEN, CORRUPT, READ_FAILED = 0, 0x200, 0x700, 0x800
PASSWORD_MISMATCH, BAD_ARGUMENT, INFLATE_FAILED = 0x1000, 0x10000, 0x5000000
EPOCH_TICKS = 116444736000000000


def ticks(seconds):
    return EPOCH_TICKS + int(seconds) * 10000000


def dos_ticks(year, month, day, hour, minute, second):
    # The layer reads DOS times as local time; Wine and Python share the
    # machine's zone.
    return ticks(time.mktime((year, month, day, hour, minute, second, 0, 0, -1)))


DEFAULT_DOS = dos_ticks(2021, 6, 15, 13, 45, 30)


def unhex(text):
    return "" if text == "-" else bytes.fromhex(text).decode("utf-8")


class Item:
    def __init__(self, fields):
        self.status = int(fields[0], 16)
        if self.status == OK:
            self.name = unhex(fields[1])
            self.attributes = int(fields[2], 16)
            self.access, self.creation, self.modification = (int(v) for v in fields[3:6])
            self.compressed, self.uncompressed = int(fields[6]), int(fields[7])


class Run:
    """One archive in a scratch folder: outer/root is the current directory."""

    def __init__(self, members=None, raw=None, **build):
        self.outer = h.scratch_dir("zip")
        self.root = os.path.join(self.outer, "root")
        os.mkdir(self.root)
        self.archive = os.path.join(self.outer, "package.zip")
        with open(self.archive, "wb") as handle:
            handle.write(raw if raw is not None else zc.build(members, **build))
        h.give_to_test_user(self.outer)

    def probe(self, *args):
        result = h.run(PROBE, *args, cwd=h.win_path(self.root))
        lines = [line.split() for line in result.stdout.splitlines() if line[:1].islower()]
        return result, lines

    def extract(self):
        """The pipeline's sequence; items and unzip statuses by index."""
        self.started = time.time()
        result, lines = self.probe("extract", h.win_path(self.archive))
        self.items, self.unzipped = {}, {}
        self.opened = not any(line[:2] == ["open", "null"] for line in lines)
        for line in lines:
            if line[0] == "count":
                self.count = int(line[1])
            elif line[0] == "staging":
                self.staging = (int(line[1], 16), int(line[2]))
            elif line[0] == "item":
                self.items[int(line[1])] = Item(line[2:])
            elif line[0] == "unzip":
                self.unzipped[int(line[1])] = int(line[2], 16)
        self.output = result.stdout
        return self

    def unzip(self, index, name):
        _, lines = self.probe("unzip", h.win_path(self.archive), str(index),
                              name.encode("utf-8").hex() or "-")
        return int(lines[-1][2], 16)

    def stat(self, *relative):
        _, lines = self.probe("stat", *(h.win_path(os.path.join(self.root, r)) for r in relative))
        out = []
        for line in lines:
            out.append(None if line[1] == "missing" else
                       dict(attributes=int(line[1], 16), access=int(line[2]), modification=int(line[4])))
        return out

    def read(self, relative):
        with open(os.path.join(self.root, relative), "rb") as handle:
            return handle.read()

    def written(self):
        found = set()
        for folder, dirs, files in os.walk(self.root):
            for name in dirs + files:
                found.add(os.path.relpath(os.path.join(folder, name), self.root))
        return found

    def outside(self):
        """Everything the layer left beside the root, which must be nothing."""
        return set(os.listdir(self.outer)) - {"root", "package.zip"}


def payload(size, seed):
    block = bytes((i * seed + i // 7) & 0xFF for i in range(4096))
    return (block * (size // len(block) + 1))[:size]


class Contents(unittest.TestCase):
    def test_members_are_written_byte_for_byte(self):
        big = payload(300000, 31)
        members = [
            Member("stored.bin", payload(40000, 3), method=0),
            Member("deflated.bin", big),
            Member("empty.txt", b""),
            Member("empty-stored.txt", b"", method=0),
            Member("data/", b"", method=0),
            Member("sub/dir/file.txt", b"nested\r\n"),
            Member("sub\\back\\slash.txt", b"backslashes"),
            Member("\u00fcber/\u65e5\u672c.txt", b"utf-8 names"),
            Member("described.bin", big[:70000], descriptor=True),
        ]
        # Enough small members of uneven sizes that headers and fields
        # straddle every boundary of the reader's windows.
        small = [Member("many/%s%d.bin" % ("x" * (i % 13), i), payload(i * 37 % 700, i + 1),
                        method=i % 2 * 8) for i in range(240)]
        run = Run(members + small).extract()
        self.assertEqual([run.read(m.name.decode()) for m in small], [m.data for m in small])
        self.assertEqual(run.count, len(members) + len(small))
        self.assertEqual(run.unzipped, {i: OK for i in range(len(members) + len(small))}, run.output)
        for relative, member in [("stored.bin", 0), ("deflated.bin", 1), ("empty.txt", 2),
                                 ("empty-stored.txt", 3), ("sub/dir/file.txt", 5),
                                 ("sub/back/slash.txt", 6), ("\u00fcber/\u65e5\u672c.txt", 7),
                                 ("described.bin", 8)]:
            self.assertEqual(run.read(relative), members[member].data, relative)
        self.assertTrue(os.path.isdir(os.path.join(run.root, "data")))
        self.assertEqual(run.items[1].compressed, len(members[1].payload()))
        self.assertEqual(run.items[1].uncompressed, len(big))
        self.assertEqual(run.items[7].name, "\u00fcber/\u65e5\u672c.txt")
        # A file takes whole clusters (an empty one none), a folder one.
        clusters = sum(-(-len(m.data) // 4096) for m in members + small if not m.name.endswith(b"/"))
        self.assertEqual(run.staging, (OK, 4096 * (clusters + 1)))

    def test_archive_from_pythons_zipfile(self):
        run = Run(raw=b"")
        with zipfile.ZipFile(run.archive, "w") as archive:
            archive.writestr("a/b.txt", b"one" * 5000, compress_type=zipfile.ZIP_DEFLATED)
            archive.writestr("c.txt", b"two", compress_type=zipfile.ZIP_STORED)
        h.give_to_test_user(run.outer)
        run.extract()
        self.assertEqual(run.unzipped, {0: OK, 1: OK})
        self.assertEqual(run.read("a/b.txt"), b"one" * 5000)

    def test_empty_archive_writes_nothing(self):
        for raw in [zc.build([]), zc.build([]) [:-2] + b"\x04\x00note"]:
            run = Run(raw=raw).extract()
            self.assertEqual(run.count, 0, run.output)
            self.assertEqual(run.written(), set())

    def test_not_an_archive_missing_or_truncated_gives_no_handle(self):
        good = zc.build([Member("a.txt", b"x" * 1000)])
        for raw in [b"this is not a zip archive at all" * 10, good[: len(good) // 2], b""]:
            run = Run(raw=raw).extract()
            self.assertFalse(run.opened, run.output)
        run = Run(raw=good)
        _, lines = run.probe("open", h.win_path(run.archive + ".missing"))
        self.assertEqual(lines, [["open", "null"]])

    def test_existing_files_are_replaced_whatever_their_attributes(self):
        # An earlier install left read-only, hidden and system files; writers
        # such as Java's store a folder with no attribute bits at all.
        dos = dict(host=zc.HOST_DOS)
        old = [Member("plain.txt", b"old", **dos, external=0x20),
               Member("locked.txt", b"old", **dos, external=0x21),
               Member("secret.txt", b"old", **dos, external=0x22),
               Member("system.txt", b"old", **dos, external=0x24)]
        run = Run(old).extract()
        self.assertEqual(run.unzipped, {i: OK for i in range(4)}, run.output)
        new = [Member(m.name.decode(), b"new", **dos, external=0x20) for m in old]
        new += [Member("data/", method=0, **dos, external=0), Member("data/inside.txt", b"in", **dos),
                Member("blocked", b"file over a folder", **dos, external=0x20)]
        os.mkdir(os.path.join(run.root, "blocked"))
        with open(run.archive, "wb") as handle:
            handle.write(zc.build(new))
        h.give_to_test_user(run.outer)
        run.extract()
        self.assertEqual(run.unzipped, {0: OK, 1: OK, 2: OK, 3: OK, 4: OK, 5: OK, 6: CANNOT_OPEN}, run.output)
        self.assertIn("a folder of that name is in the way", run.output)
        for name in ("plain.txt", "locked.txt", "secret.txt", "system.txt"):
            self.assertEqual(run.read(name), b"new", name)
        self.assertEqual([s["attributes"] for s in run.stat("locked.txt", "secret.txt", "system.txt", "data")],
                         [0x20, 0x20, 0x20, 0x10])
        self.assertEqual(run.read("data/inside.txt"), b"in")
        self.assertEqual(run.written(), {"plain.txt", "locked.txt", "secret.txt", "system.txt", "data",
                                         os.path.join("data", "inside.txt"), "blocked"})


class Names(unittest.TestCase):
    def test_cleaning_table_and_where_files_land(self):
        table = [("C:\\tools\\x.exe", "tools\\x.exe", "tools/x.exe"),
                 ("/abs/file.txt", "abs/file.txt", "abs/file.txt"),
                 ("\\\\server\\share\\f.txt", "server\\share\\f.txt", "server/share/f.txt"),
                 ("a/b/../c.txt", "c.txt", "c.txt"),
                 ("x\\..\\y\\..\\z.txt", "z.txt", "z.txt"),
                 ("docs/readme.txt", "docs/readme.txt", "docs/readme.txt"),
                 ("D:rel.txt", "rel.txt", "rel.txt"),
                 ("../../up.txt", "up.txt", "up.txt")]
        run = Run([Member(stored, stored.encode()) for stored, _, _ in table]).extract()
        for i, (stored, cleaned, path) in enumerate(table):
            self.assertEqual(run.items[i].name, cleaned, stored)
            self.assertEqual(run.unzipped[i], OK, stored)
        # Later members with the same cleaned name replace earlier ones.
        self.assertEqual(run.read("c.txt"), b"a/b/../c.txt")
        self.assertEqual(run.read("tools/x.exe"), b"C:\\tools\\x.exe")
        self.assertEqual(run.read("server/share/f.txt"), b"\\\\server\\share\\f.txt")
        self.assertEqual(run.outside(), set())

    def test_names_that_would_leave_the_root_fail_whole(self):
        hostile = ["dir\\sub\\..\\..\\f.txt", "/../x.txt", "a/..", "C:\\..\\x.txt",
                   "\\\\?\\C:\\x.txt", "f.txt:stream", "dir/f.txt::$DATA", "CON", "nul.txt",
                   "sub/AUX", "COM1.log", "lpt1", ".. /x.txt", "ok/.../x.txt"]
        members = [Member(name, b"payload") for name in hostile] + [Member("fine.txt", b"fine")]
        run = Run(members).extract()
        for i, name in enumerate(hostile):
            self.assertEqual(run.items[i].status, CORRUPT, name)
            self.assertNotIn(i, run.unzipped)
        self.assertEqual(run.unzipped[len(hostile)], OK)
        self.assertEqual(run.written(), {"fine.txt"})
        self.assertEqual(run.outside(), set())
        # UnzipItem holds a relative name of its caller to the same rule.
        self.assertEqual(run.unzip(len(hostile), "../escape.txt"), BAD_ARGUMENT)
        self.assertEqual(run.unzip(len(hostile), "C:name.txt"), BAD_ARGUMENT)
        self.assertEqual(run.outside(), set())

    def test_caller_may_name_a_full_path(self):
        run = Run([Member("f.txt", b"full")])
        target = os.path.join(run.outer, "elsewhere", "f.txt")
        self.assertEqual(run.unzip(0, h.win_path(target)), OK)
        with open(target, "rb") as handle:
            self.assertEqual(handle.read(), b"full")

    def test_name_and_path_limits(self):
        run = Run([])
        # The checkout's depth sets the root's length: size the deep members
        # so that one output path is exactly 259 characters and one is 260.
        room = 259 - len(h.win_path(run.root)) - 1 - len("d\\") - len(".txt")
        fits, overflows = "d/" + "p" * room + ".txt", "d/" + "q" * (room + 1) + ".txt"
        # As long, but a name too short for its temporary twin to fit beside it.
        short = "e/" + "r" * (room + 2) + "/a"
        members = [Member("n" * 259, b"long"), Member("m" * 260, b"too long"),
                   Member(fits, b"deep"), Member(overflows, b"too deep"), Member(short, b"short")]
        with open(run.archive, "wb") as handle:
            handle.write(zc.build(members))
        run.extract()
        self.assertEqual(run.items[0].name, "n" * 259)
        self.assertEqual(run.unzipped[0], CANNOT_OPEN)  # root + name passes 259
        self.assertEqual(run.items[1].status, CORRUPT)
        self.assertEqual(run.unzipped[2], OK)
        self.assertEqual(run.read(fits), b"deep")
        self.assertEqual(run.unzipped[3], CANNOT_OPEN)
        self.assertEqual(run.unzipped[4], OK)
        self.assertEqual(run.read(short), b"short")
        self.assertEqual(run.written(), {"d", fits, "e", os.path.dirname(short), short})

    def test_current_directory_beyond_the_path_buffer(self):
        # 258 characters and the added separator fill the buffer; 259 do not
        # fit with it, and deeper folders do not fit at all.
        run = Run([Member("a.txt", b"a")])
        results = []
        for length in (258, 259, 300):
            deep = run.root
            # Stop early enough that the last folder keeps at least one
            # character, whatever the checkout's depth.
            while len(h.win_path(deep)) < length - 42:
                deep = os.path.join(deep, "d" * 40)
            deep = os.path.join(deep, "e" * (length - len(h.win_path(deep)) - 1))
            self.assertEqual(len(h.win_path(deep)), length)
            os.makedirs(deep)
            h.give_to_test_user(run.outer)
            _, lines = run.probe("open-in", h.win_path(deep), h.win_path(run.archive))
            results.append(lines[-1])
        self.assertEqual(results, [["open-in", "moved", "cwd=258", "ok"], ["open-in", "moved", "cwd=259", "null"],
                                   ["open-in", "moved", "cwd=300", "null"]])


class AttributesAndTimes(unittest.TestCase):
    def test_attributes_by_host(self):
        members = [Member("unix-rw.txt", b"1", external=0o100644 << 16),
                   Member("unix-ro.txt", b"2", external=0o100444 << 16),
                   Member("unix-dir/", method=0, external=0o040755 << 16),
                   Member("dos-hidden.txt", b"3", host=zc.HOST_DOS, external=0x22),
                   Member("ntfs-ro.txt", b"4", host=zc.HOST_NTFS, external=0x21),
                   Member("dos-dir/", method=0, host=zc.HOST_DOS, external=0x10)]
        run = Run(members).extract()
        self.assertEqual([run.items[i].attributes for i in range(6)], [0x20, 0x21, 0x30, 0x22, 0x21, 0x10])
        self.assertEqual(set(run.unzipped.values()), {OK})
        stats = run.stat("unix-rw.txt", "unix-ro.txt", "dos-hidden.txt", "ntfs-ro.txt")
        self.assertEqual([s["attributes"] for s in stats], [0x20, 0x21, 0x22, 0x21])

    def test_dos_time_and_extended_timestamps(self):
        m, a, c = 1500000000, 1500003600, 1400000000
        flags_cases = [(0, ()), (1, (m,)), (2, (a,)), (3, (m, a)), (4, (c,)), (5, (m, c)), (6, (a, c)),
                       (7, (m, a, c))]
        members = [Member("ut%d.txt" % f, b"t", local_extra=(zc.ut_block(f, *v) if f else b""))
                   for f, v in flags_cases]
        # Another block before "UT", a short "UT" and an invalid DOS date.
        members.append(Member("after-other.txt", b"t",
                              local_extra=b"\x0a\x00\x04\x00abcd" + zc.ut_block(1, m)))
        members.append(Member("short-ut.txt", b"t", local_extra=zc.ut_block(7, m, a)[:-2]))
        members.append(Member("bad-date.txt", b"t", date_time=(0, 0)))
        members.append(Member("bad-date-ut.txt", b"t", date_time=((41 << 9) | (2 << 5) | 30, 0),
                              local_extra=zc.ut_block(1, m)))
        run = Run(members).extract()
        self.assertEqual(set(run.unzipped.values()), {OK}, run.output)
        for i, (flags, values) in enumerate(flags_cases):
            given = dict(zip([b for b in (1, 2, 4) if flags & b], values))
            item = run.items[i]
            self.assertEqual(item.modification, ticks(given[1]) if 1 in given else DEFAULT_DOS, flags)
            self.assertEqual(item.access, ticks(given[2]) if 2 in given else DEFAULT_DOS, flags)
            self.assertEqual(item.creation, ticks(given[4]) if 4 in given else DEFAULT_DOS, flags)
        n = len(flags_cases)
        self.assertEqual(run.items[n].modification, ticks(m))
        short = run.items[n + 1]
        self.assertEqual((short.modification, short.access, short.creation), (ticks(m), DEFAULT_DOS, DEFAULT_DOS))
        bad = run.items[n + 2]
        self.assertEqual((bad.modification, bad.access, bad.creation), (0, 0, 0))
        self.assertEqual((run.items[n + 3].modification, run.items[n + 3].access), (ticks(m), 0))

        on_disk = run.stat("ut0.txt", "ut3.txt", "bad-date.txt")
        self.assertEqual(on_disk[0]["modification"], DEFAULT_DOS)
        self.assertEqual(on_disk[0]["access"], DEFAULT_DOS)
        self.assertEqual(on_disk[1]["modification"], ticks(m))
        self.assertEqual(on_disk[1]["access"], ticks(a))
        # No defined time: the file keeps the moment it was written.
        self.assertGreaterEqual(on_disk[2]["modification"], ticks(run.started) - 20000000)

    def test_directories_get_neither_times_nor_attributes(self):
        run = Run([Member("hidden-dir/", method=0, host=zc.HOST_DOS, external=0x12)]).extract()
        self.assertEqual(run.unzipped[0], OK)
        (stat,) = run.stat("hidden-dir")
        self.assertEqual(stat["attributes"] & 0x2, 0)
        self.assertNotEqual(stat["modification"], DEFAULT_DOS)


class DamagedMembers(unittest.TestCase):
    def test_a_failed_member_leaves_the_file_before_it_untouched(self):
        # Damaged data (deflated and stored) over files of an earlier
        # install, damaged data where there was nothing, an encrypted member.
        members = [Member("deflated.bin", payload(50000, 5)), Member("stored.bin", payload(30000, 9), method=0),
                   Member("fresh.bin", payload(30000, 3), method=0),
                   Member("secret.bin", b"s" * 200, password=b"secret")]
        raw = bytearray(zc.build(members))
        for m in members[:3]:  # alter one byte of each member's data
            raw[m.local_offset + 30 + len(m.name) + 100] ^= 0x01
        run = Run(raw=bytes(raw))
        for name in ("deflated.bin", "stored.bin"):
            with open(os.path.join(run.root, name), "wb") as handle:
                handle.write(b"previous version of " + name.encode())
        h.give_to_test_user(run.root)
        run.extract()
        self.assertEqual(run.unzipped, {0: INFLATE_FAILED, 1: INFLATE_FAILED, 2: INFLATE_FAILED,
                                        3: PASSWORD_MISMATCH})
        for name in ("deflated.bin", "stored.bin"):
            self.assertEqual(run.read(name), b"previous version of " + name.encode())
        # Nothing new, and no temporary file, is left behind.
        self.assertEqual(run.written(), {"deflated.bin", "stored.bin"})

    def test_headers_that_disagree_or_methods_not_supported(self):
        members = [Member("bzip2.bin", b"x" * 100, method=12),
                   Member("lzma.bin", b"x" * 100, method=14),
                   Member("method.bin", b"y" * 100, local={"method": 0}),
                   Member("namelen.bin", b"y", local={"name_len": 5}),
                   Member("crc.bin", b"y", local={"crc": 1234}),
                   Member("size.bin", b"y", local={"usize": 99}),
                   Member("signature.bin", b"y", local={"signature": 0x04034B51}),
                   Member("crc-with-descriptor.bin", b"z" * 100, descriptor=True, local={"crc": 99}),
                   Member("fine.bin", b"fine")]
        run = Run(members).extract()
        self.assertEqual([run.items[i].status for i in range(9)], [CORRUPT] * 7 + [OK, OK])
        self.assertEqual(run.read("crc-with-descriptor.bin"), b"z" * 100)

    def test_encrypted_members(self):
        members = [Member("secret.bin", b"s" * 200, password=b"secret"),
                   Member("secret-descriptor.bin", b"s" * 200, password=b"secret", descriptor=True),
                   Member("empty-password.bin", b"e" * 200, password=b"")]
        run = Run(members).extract()
        self.assertEqual(run.unzipped, {0: PASSWORD_MISMATCH, 1: PASSWORD_MISMATCH, 2: INFLATE_FAILED})

    def test_unreadable_local_extra_field(self):
        raw = zc.build([Member("a.txt", b"a", method=0, local={"extra_len": 0xFFFF})])
        run = Run(raw=raw).extract()
        self.assertEqual(run.items[0].status, READ_FAILED)

    def test_directory_entry_unreadable_mid_walk(self):
        members = [Member("m%d.txt" % i, b"%d" % i) for i in range(4)]
        raw = bytearray(zc.build(members))
        raw[members[2].central_offset] ^= 0xFF
        run = Run(raw=bytes(raw))
        _, lines = run.probe("trace", h.win_path(run.archive), "0", "1", "2", "3", "1", "0")
        statuses = [int(line[2], 16) for line in lines]
        self.assertEqual(statuses, [OK, OK, CORRUPT, CORRUPT, OK, OK])

    def test_refused_archives(self):
        good = [Member("a.txt", b"a")]
        for end in [{"total": 2}, {"disk": 1}, {"cd_size": 10000}]:
            run = Run(good, end=end).extract()
            self.assertFalse(run.opened, end)


class Cache(unittest.TestCase):
    def test_same_index_reads_once_and_going_back_restarts(self):
        members = [Member("m%d.txt" % i, b"%d" % i) for i in range(8)]
        run = Run(members)
        _, lines = run.probe("trace", h.win_path(run.archive), "5", "5", "2", "3")
        traces = [dict(kv.split("=") for kv in line[3:]) for line in lines]
        self.assertEqual([int(line[2], 16) for line in lines], [OK] * 4)
        self.assertEqual(traces[1], {"reads": "0", "seeks": ""})
        seeks = [set(int(s) for s in t["seeks"].split(",") if s) for t in traces]
        first = members[0].central_offset
        self.assertIn(first, seeks[2])
        self.assertIn(members[1].central_offset, seeks[2])
        self.assertNotIn(first, seeks[3])
        self.assertIn(members[3].central_offset, seeks[3])
        self.assertNotIn(members[2].central_offset, seeks[3])


class Pipeline(unittest.TestCase):
    def install(self, *packages):
        drive_folder = h.scratch_dir("drive")
        temp = h.scratch_dir("temp")
        paths = []
        for i, members in enumerate(packages):
            # (bytes, what was signed) for a package damaged after signing.
            data, signed = members if isinstance(members, tuple) else (zc.build(members),) * 2
            path = os.path.join(temp, "source%d.zip" % i)
            with open(path, "wb") as handle:
                handle.write(data)
            with open(path + ".manifest", "wb") as handle:
                handle.write(signed_manifest(signed))
            paths.append(h.win_path(path))
        h.give_to_test_user(temp)
        with h.drive("Q", drive_folder) as letter:
            result = h.run(PROBE, "install", letter + "\\", *paths, env=h.temp_env(temp))
        return drive_folder, result.stdout

    def test_hidden_members_are_marked_hidden(self):
        members = [Member("shown.txt", b"1", host=zc.HOST_DOS, external=0x20),
                   Member("secret.txt", b"2", host=zc.HOST_DOS, external=0x22),
                   Member("cache/", method=0, host=zc.HOST_DOS, external=0x12),
                   Member("cache/inside.txt", b"3", host=zc.HOST_DOS, external=0x20)]
        folder, output = self.install(members)
        self.assertIn("install ok downloads=1", output)
        probe = Run([])
        probe.root = folder
        attributes = [s["attributes"] for s in probe.stat("shown.txt", "secret.txt", "cache", "cache/inside.txt")]
        self.assertEqual(attributes, [0x20, 0x22, 0x12, 0x20])

    def test_damaged_package_is_fetched_again_then_fails(self):
        member = Member("app.bin", payload(20000, 7), method=0)
        good = zc.build([member])
        raw = bytearray(good)
        raw[member.local_offset + 30 + len(member.name) + 10] ^= 0x40
        _, output = self.install((bytes(raw), good))
        self.assertIn("install failed downloads=2", output)
        folder, output = self.install((bytes(raw), good), [Member("app.bin", payload(20000, 7), method=0)])
        self.assertIn("install ok downloads=2", output)
        with open(os.path.join(folder, "app.bin"), "rb") as handle:
            self.assertEqual(handle.read(), payload(20000, 7))


tree = h.files_under


def plant(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(path if data is None else os.path.dirname(path), exist_ok=True)
        if data is not None:
            with open(path, "wb") as handle:
                handle.write(data)


def journal_text(lines):
    return "".join(line + "\n" for line in lines).encode("utf-16-le")


class StickJournal(unittest.TestCase):
    """Staging with the journal in the product's folder on the stick."""

    OLD = {"a.txt": b"old a", "docs/": None, "docs/licence.txt": b"old licence", "Logs/": None,
           "Logs/empty.log": b"", "Logs/mine.txt": b"the user's", "user.txt": b"not ours"}
    NEW = [Member("a.txt", b"new a"), Member("b.txt", b"new b")]
    OBSOLETE = ["docs/licence.txt", "docs/", "Logs/empty.log", "Logs/", "gone.txt"]

    def stage(self, hold=None):
        run = Run(self.NEW)
        plant(run.root, self.OLD)
        h.give_to_test_user(run.outer)
        marker = os.path.join(run.outer, "held")
        holder = None
        if hold is not None:
            holder = h.start(HOLDER, h.win_path(run.root), hold, h.win_path(marker),
                             output=os.path.join(run.outer, "holder.out"))
            self.addCleanup(holder.stop)
        journal = h.win_path(os.path.join(run.root, "Quillon.journal"))
        started = time.time()
        _, lines = run.probe("stage", h.win_path(run.archive), journal,
                             h.win_path(marker) if hold is not None else "-",
                             *(name.encode().hex() for name in self.OBSOLETE))
        took = time.time() - started
        if holder is not None:
            holder.wait(timeout=30)
            self.assertTrue(any(line.startswith("held ~ql") for line in holder.lines()), holder.lines())
        results = {line[0]: line[1:] for line in lines}
        waits = [line for line in lines if line[0] == "waited"]
        return run, results, waits, took

    def test_files_the_new_version_no_longer_ships_go_with_the_commit(self):
        run, results, waits, _ = self.stage()
        self.assertEqual(["0", "-"], results["commit"])
        self.assertEqual(["0"], results["obsolete"][:1])
        expected = dict(self.OLD, **{"a.txt": b"new a", "b.txt": b"new b"})
        for gone in ("docs/", "docs/licence.txt", "Logs/empty.log"):
            del expected[gone]
        # The folder that still holds the user's file stays, and so does
        # every file no record named; the journal goes with the run.
        self.assertEqual(expected, tree(run.root))
        self.assertEqual([], waits)

    def test_a_scanner_that_holds_a_staged_file_is_waited_for_about_two_seconds(self):
        run, results, waits, _ = self.stage(hold=1500)
        self.assertEqual(["0", "-"], results["commit"])
        self.assertEqual({"a.txt": b"new a", "b.txt": b"new b"},
                         {n: d for n, d in tree(run.root).items() if n in ("a.txt", "b.txt")})
        self.assertEqual(1, len(waits), waits)
        self.assertEqual("taken", waits[0][4])
        self.assertEqual(32, int(waits[0][2]))  # ERROR_SHARING_VIOLATION

        # Held longer than the wait: the commit fails, and the stick is as it
        # was, the obsolete files back and nothing staged left.
        run, results, waits, took = self.stage(hold=5000)
        self.assertNotEqual("0", results["commit"][0])
        self.assertEqual(self.OLD, tree(run.root))
        self.assertTrue(waits and all(w[4] == "failed" for w in waits[:1]), waits)
        self.assertEqual(len(waits), len({w[1] for w in waits}), "a file's wait is told once")
        self.assertLess(took, 30)

    def test_a_journal_found_on_the_stick_is_settled_under_another_letter_or_refused(self):
        # A run cut in its commit on another machine: a.txt moved in, its
        # old file aside, b.txt still staged.
        run = Run([])
        plant(run.root, {"a.txt": b"new a", "~ql0002.tmp": b"old a", "~ql0003.tmp": b"new b",
                         "sub/": None, "user.txt": b"not ours"})
        with open(os.path.join(run.root, "Quillon.journal"), "wb") as handle:
            handle.write(journal_text(["D|sub", "T|~ql0001.tmp", "T|~ql0003.tmp", "B|a.txt|~ql0002.tmp",
                                       "M|~ql0001.tmp|a.txt|~ql0002.tmp|5"]))
        h.give_to_test_user(run.outer)
        with h.drive("R", run.root) as letter:
            _, lines = run.probe("recover", letter + "\\Quillon.journal")
        self.assertEqual([["recover", "settled"]], lines)
        self.assertEqual({"a.txt": b"old a", "user.txt": b"not ours"}, tree(run.root))

        # Someone else's lines: nothing outside the folder, nothing that is
        # no staging file, and nothing else of the same journal is acted on.
        plant(run.outer, {"outside/": None, "outside/~ql0005.tmp": b"theirs"})
        plant(run.root, {"~ql0006.tmp": b"looks staged"})
        for line in ("T|..\\outside\\~ql0005.tmp", "T|%s" % h.win_path(os.path.join(run.outer, "outside", "~ql0005.tmp")),
                     "B|user.txt|sub\\~ql0007.tmp", "T|user.txt"):
            with open(os.path.join(run.root, "Quillon.journal"), "wb") as handle:
                handle.write(journal_text(["T|~ql0006.tmp", line]))
            h.give_to_test_user(run.outer)
            _, lines = run.probe("recover", h.win_path(os.path.join(run.root, "Quillon.journal")))
            self.assertEqual([["recover", "settled"]], lines, line)
            self.assertEqual({"user.txt": b"not ours", "a.txt": b"old a", "~ql0006.tmp": b"looks staged"},
                             tree(run.root), line)
            with open(os.path.join(run.outer, "outside", "~ql0005.tmp"), "rb") as handle:
                self.assertEqual(b"theirs", handle.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
