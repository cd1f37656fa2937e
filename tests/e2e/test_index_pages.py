"""Index pages served end to end, checked against an independent model of the page rules:
link and display forms, the 38-unit cut, hidden dot-files, icons, owner headings and the
single-folder-as-root case."""
import os
import shutil
import tempfile
import unittest

from sharehost import ShareHost, curl, share_list

PRODUCT = "Wexa-Share/1.2.1"
ICONS = {"txt": "txt", "png": "img", "zip": "zip", "bin": "zip", "exe": "exe", "pdf": "doc"}
ROW = "<tr valign=bottom><td width=20></td><td width=350 align=left>"


def units(text):
    data = text.encode("utf-16-le")
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]


def form(text, display):
    out = []
    u = units(text)
    if display and len(u) > 38:
        u = u[:38]
    for c in u:
        ch = chr(c) if c < 128 else ""
        if ch.isascii() and (ch.isalnum() or ch in "._-~") and ch:
            out.append(ch)
        elif ch == "%" and not display:
            out.append("%25")
        else:
            out.append("&#%d;" % c)
    if display and len(units(text)) > 38:
        out.append("..")
    return "".join(out)


def size_text(n):
    K, M, G = 1024, 1 << 20, 1 << 30
    if n < K:
        return "%d bytes" % n
    def tenths(v):
        return "%s.%d" % (v // 10 if v >= 10 else "", v % 10)
    if n < M:
        return ("%s kb" % tenths((n * 10 + 512) // K)) if n < 10240 else "%d kb" % ((n + 512) // K)
    if n < G:
        return ("%s MB" % tenths((n * 10 + M // 2) // M)) if n < 10 * M else "%d MB" % ((n + M // 2) // M)
    return ("%s GB" % tenths((n * 10 + G // 2) // G)) if n < 10 * G else "%d GB" % ((n + G // 2) // G)


def icon(name, folder, use_icons):
    if not use_icons:
        return ""
    if folder:
        kind = "dir"
    else:
        base = name[1:]
        ext = base.rsplit(".", 1)[1].lower() if "." in base and not name.endswith(".") else ""
        kind = ICONS.get(ext, "doc")
    return '<img src="/%s_icon.png"> ' % kind


def display_path(path):
    return "".join(ch if ch.isascii() and (ch.isalnum() or ch in "._-~") else "&#%d;" % c
                   for ch, c in ((chr(c), c) for c in units(path)))


def heading(owner):
    if not owner:
        return "Index of "
    return owner + ("' Index of " if owner[-1] in "szx" else "'s Index of ")


def page(request_path, rows, root, owner, use_icons, port, archive_link=True):
    """rows: [(name, is_folder, size)] in the order the page lists them. A folder's page (not the
    root index of shared items) has the line linking the folder's archive after its table."""
    table = "<table border=0 cellspacing=0 cellpadding=1>"
    if not root:
        parent = request_path[:request_path.rstrip("/").rfind("/") + 1] or request_path[:1]
        table += ROW + icon("", True, False) + ("<img src=\"/up_icon.png\"> " if use_icons else "") + \
            '<a href="' + form(parent, False) + '">Up one level</a></td></tr><tr height=10><td></td></tr>'
    for name, folder, size in rows:
        shown = name + "/" if folder else name
        table += ROW + icon(name, folder, use_icons) + '<a href="' + form(shown, False) + '">' + \
            form(shown, True) + "</a></td><td align=left>" + ("Directory" if folder else size_text(size)) + \
            "</td></tr>"
    table += "</table>"
    if archive_link:
        table += '\r\n<a href="?zip">Download all as .zip</a>'
    path = display_path(request_path)
    return ("<html><head><title>Index of " + path + "</title></head><body><h1>" + heading(owner) + path +
            "</h1><pre><table border=0 cellspacing=0 cellpadding=1><tr valign=top><td width=20></td><td "
            "width=350 align=left><u>Name</a></td><td align=left><u>Size</u></td></tr></table><hr>\r\n" + table +
            "\r\n</pre><hr><address>" + PRODUCT + " at 127.0.0.1 Port %d</address></body></html>" % port).encode()


def table_rows(body):
    """The listed rows of a page, in page order, for order-independent comparison."""
    text = body.decode("latin-1")
    return [r for r in text.split("</tr>") if "<a href" in r and "Up one level" not in r and "?zip" not in r]


class IndexPages(unittest.TestCase):
    NAMES = ["a b%.txt", "Привет мир.txt", "日本語の名前.png", "emoji 😀 file.zip",
             "a name that is certainly longer than thirty-nine units.bin", "exactly-thirty-eight-units-long-name.ex",
             "noext", "tool.exe", "report.PDF"]

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="wexa-index-")
        cls.share = os.path.join(cls.root, "My Share")
        os.makedirs(os.path.join(cls.share, "sub folder", "deeper"))
        cls.sizes = {}
        for i, name in enumerate(cls.NAMES):
            data = b"x" * (i * 3000 + 5)
            with open(os.path.join(cls.share, name), "wb") as f:
                f.write(data)
            cls.sizes[name] = len(data)
        for hidden in [".hidden", ".config.txt"]:
            with open(os.path.join(cls.share, hidden), "w") as f:
                f.write("secret-ish")
        with open(os.path.join(cls.share, "sub folder", "inner.txt"), "w") as f:
            f.write("inner")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def expected_rows(self):
        rows = [(n, False, self.sizes[n]) for n in self.NAMES] + [("sub folder", True, 0)]
        return rows

    def check_folder_page(self, host, request, root, owner, use_icons):
        status, headers, body = curl(host.port, request.replace(" ", "%20"))
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: text/html\r\n", headers)
        self.assertIn("Content-Length: %d\r\n" % len(body), headers)
        # Folder rows come in file-system order; compare the page with its rows in that order.
        listed = table_rows(body)
        expected = page(request, self.expected_rows(), root, owner, use_icons, host.port)
        model_rows = table_rows(expected)
        self.assertEqual(sorted(listed), sorted(model_rows))
        order = [model_rows.index(r) for r in listed]
        rows = [self.expected_rows()[i] for i in order]
        self.assertEqual(body, page(request, rows, root, owner, use_icons, host.port))
        self.assertNotIn(b"hidden", body)
        self.assertEqual(b"<img" in body, use_icons)

    def test_folder_page_with_owner_and_icons(self):
        with ShareHost({"ShareList": share_list([(self.share, 0)]), "SingleDirIsRoot": 0,
                        "UserName": "Chris"}) as host:
            self.check_folder_page(host, "/My Share/", False, "Chris", True)
            status, _, body = curl(host.port, "/My%20Share/.hidden")
            self.assertEqual((status, body), (200, b"secret-ish"))

    def test_single_folder_as_root_without_icons(self):
        with ShareHost({"ShareList": share_list([(self.share, 0)]), "SingleDirIsRoot": 1,
                        "UseIcons": 0, "UserName": "Max"}) as host:
            self.check_folder_page(host, "/", True, "Max", False)

    def test_sub_folder_has_up_row_and_owner_heading_forms(self):
        for owner in ["Lois", "Liz", "Alex", "Anna", ""]:
            with self.subTest(owner=owner):
                settings = {"ShareList": share_list([(self.share, 0)]), "SingleDirIsRoot": 0, "UserName": owner}
                with ShareHost(settings) as host:
                    status, _, body = curl(host.port, "/My%20Share/sub%20folder/")
                    self.assertEqual(status, 200)
                    expected = page("/My Share/sub folder/", [("deeper", True, 0), ("inner.txt", False, 5)],
                                    False, owner, True, host.port)
                    got_rows, want_rows = table_rows(body), table_rows(expected)
                    self.assertEqual(sorted(got_rows), sorted(want_rows))
                    if got_rows == want_rows:
                        self.assertEqual(body, expected)
                    self.assertIn(('<a href="&#47;My&#32;Share&#47;">Up one level</a>').encode(), body)

    def test_root_index_lists_shared_items_in_name_order(self):
        other = os.path.join(self.share, "sub folder", "inner.txt")
        settings = {"ShareList": share_list([(self.share, 0), (other, 0)]), "SingleDirIsRoot": 1, "UserName": ""}
        with ShareHost(settings) as host:
            status, _, body = curl(host.port, "/")
            self.assertEqual(status, 200)
            # Shared items: names carry the "/" of folders already; sorted case-insensitively.
            rows = [("inner.txt", False, 5), ("My Share", True, 0)]
            self.assertEqual(body, page("/", rows, True, "", True, host.port, archive_link=False))


if __name__ == "__main__":
    unittest.main()
