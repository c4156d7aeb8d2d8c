#!/usr/bin/env python3
"""Writes the committed seed corpus of every fuzz target (corpus/<target>/).

Run from anywhere: python3 tests/fuzz/make_corpus.py. The seeds are small,
well-formed examples of each input so that the fuzzers start from the shapes
the program really sees; libFuzzer mutates from there.
"""
import base64, json, lzma, os, struct, zlib

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
config = open(os.path.join(root, "resources/profiles/configuration.xml"), "rb").read()
conf = open(os.path.join(root, "resources/profiles/conf.xml"), "rb").read()


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# 1. page requests
P = "Resources/profiles/configuration.xml"
HW = "HID\\Vid_0aa0&Pid_5e30"
requests = {
    "move": "moveWindow:10, -20,800,600",
    "move3": "moveWindow 1,2,3",
    "minimise": '{"funcname":"minisizeWindow"}',
    "maximise": '{"funcname":"maxsizeWindow"}',
    "restore": '{"funcname":"restoreWindow"}',
    "list": {"funcname": "getDevicesList"},
    "readprop": {"funcname": "readDevicesProp", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 4, "PARAMID": 1},
    "writeprop": {"funcname": "writeDevicesProp", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": "2", "PARAMID": 1, "PARAMDATA": "0x10,0x20"},
    "readaddr": {"funcname": "readByAddr", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 16, "PARAMADDRESS": "0x100"},
    "writeaddr": {"funcname": "writeByAddr", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 3, "PARAMADDRESS": 16, "PARAMDATA": "1,2,ff"},
    "notify": {"funcname": "notifyDevice", "HardwareID": HW, "NotifyType": 2, "NotifyData": 1},
    "empty": {"funcname": "isPropEmpty", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 8, "PARAMADDRESS": "0x200"},
    "clean": {"funcname": "cleanMacroByAddr", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 8, "PARAMADDRESS": "0x200"},
    "macro": {"funcname": "writeMacroByAddr", "HardwareID": HW, "DevicePath": "", "PARAMSIZE": 4, "PARAMADDRESS": "0x300", "PARAMDATA": "1,2,3,4"},
    "query": {"funcname": "queryProfile", "filePath": P, "xpath": "//mode[@index='1']"},
    "count": {"funcname": "nodeCounterProfile", "filePath": P, "xpath": "/conf/modeSetting/modes"},
    "modify": {"funcname": "modifyProfile", "filePath": P, "xpath": "//mode", "attribute": "index;bindingProcess", "attributeValue": "2;"},
    "modifyex": {"funcname": "modifyProfileEx", "filePath": P, "xpath": "//modes", "subTreeString": "<mode index=\"9\"/><x>t</x>"},
    "remove": {"funcname": "modifyRemoveProfile", "filePath": P, "xpath": "//mode[2]"},
    "add": {"funcname": "modifyAddProfile", "filePath": P, "xpath": "//modes", "attribute": "a;b", "attributeValue": "1;2", "addNodeName": "mode"},
    "replace": {"funcname": "modifyReplaceProfile", "srcFilePath": "view/xml/configuration.xml", "desFilePath": P, "srcXpath": "//mode[1]", "desXpath": "//mode[2]"},
    "export": {"funcname": "saveXmlAs", "srcFilePath": P, "desFilePath": "/home/user/Documents/a.pfd", "xpath": "//modes"},
    "import": {"funcname": "modifyReplaceProfileEx", "srcFilePath": "/home/user/Documents/a.pfd", "desFilePath": P, "srcXpath": "", "desXpath": "//modes"},
    "reset": {"funcname": "resetProfile", "srcFilePath": "view/xml/configuration.xml", "desFilePath": P},
    "hex": {"funcname": "queryHexByte", "filePath": P, "xpath": "//*[@code]", "args": "0x10,0x20"},
    "save": {"funcname": "savexml"},
    "getconf": {"funcname": "getConf"},
    "setconf": {"funcname": "setConf", "confKey": "language", "confValue": "zh"},
    "hotkey": {"funcname": "setConf", "confKey": "showConf", "confValue": "Ctrl+Alt+K"},
    "close": {"funcname": "closeApp"},
    "changed": {"funcname": "confChanged"},
    "speed": {"funcname": "modifyMouseSpeed", "speednum": 10},
    "dbl": {"funcname": "modifyMouseDoubleClick", "position": "3"},
    "url": {"funcname": "openUrl", "url": "https://example.org/a?b=c"},
    "load": {"funcname": "loadurl", "url": "/view/index.html"},
    "dialog": {"funcname": "saveFileDialog"},
    "null": {"funcname": "readByAddr", "HardwareID": None, "DevicePath": True, "PARAMSIZE": 1.5e300, "PARAMADDRESS": -16},
}
for name, request in requests.items():
    write("fuzz_request", name, request if isinstance(request, str) else json.dumps(request))

# 2. profile commands: two files, then commands (FuzzedDataProvider takes
# strings from the front, a backslash and another character end each; the
# integers and choices come from the end of the input).
def esc(b):
    return b.replace(b"\\", b"\\\\") + b"\\ "
xml_small = b"<conf><modeSetting><modes><mode index='1' code='0x41,%,0,%'/><mode index='2'/></modes></modeSetting></conf>"
for i, (xp, tail) in enumerate([(b"//mode", b"\x00\x01\x02\x03"), (b"/conf/*", b"\x07\x03\x05\x01"),
                                 (b"//mode[@index='1']", b"\x08\x01\x07\x02"), (b"//@index", b"\x0a\x04\x06\x00")]):
    write("fuzz_profile", "seed%d" % i, esc(config) + esc(xml_small) + esc(xp) + esc(b"index;x") + esc(b"5;6") + tail)
write("fuzz_profile", "crlf_bom", esc(b"\xef\xbb\xbf<?xml version='1.0'?>\r\n<!-- c -->\r\n<a b='1'><c/>text<![CDATA[x]]></a>") + esc(b"<a/>") + esc(b"/a") + b"\x05\x02")

# 3. export files
def pfd(xml):
    payload = base64.b64encode(xml)
    return struct.pack(">II", 0x0A0B0C0D, len(payload)) + payload
write("fuzz_export", "modes", pfd(b'<?xml version="1.0"?>\n<modes>\n\t<mode index="1" />\n</modes>\n'))
write("fuzz_export", "config", pfd(config))
write("fuzz_export", "declaration_only", pfd(b'<?xml version="1.0"?>\n'))
write("fuzz_export", "bad_magic", b"\x0a\x0b\x0c\x0e" + pfd(b"<a/>")[4:])
write("fuzz_export", "null_payload", struct.pack(">II", 0x0A0B0C0D, 0xFFFFFFFF))

# 4. update packages
def qstring(s):
    data = s.encode("utf-16-be")
    return struct.pack(">I", len(data)) + data
def payload(version, files):
    out = qstring(version) + struct.pack(">I", len(files))
    for name, content in files:
        out += qstring(name) + struct.pack(">I", len(content)) + struct.pack(">I", len(content)) + content
    return out
def package(data, version="1.0", kind=b"firmware", dictionary=1 << 16):
    # 104 bytes of signature area (zero: unsigned), the manifest (kind,
    # product, version, body length, SHA-256 of the body), the body.
    import hashlib
    filters = [{"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16, "lc": 3, "lp": 0, "pb": 2}]
    stream = lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)
    props = bytes([(2 * 5 + 0) * 9 + 3]) + struct.pack("<I", dictionary)
    body = props + struct.pack("<I", len(data)) + stream
    manifest = (kind.ljust(16, b"\0") + struct.pack("<I", 4118) + version.encode().ljust(32, b"\0")
                + struct.pack("<Q", len(body)) + hashlib.sha256(body).digest() + bytes(60))
    return bytes(104) + manifest + body
files = [("html/index.html", b"<html></html>"), ("html/js/app.js", b"x=1"), ("html/update.bin", b"\x16\x10\0\0")]
# First byte: bit 0 raw payload, bit 1 sealed (digest and signature) by the target.
write("fuzz_package", "file_three", b"\x02" + package(payload("1.2.3", files), "1.2.3"))
write("fuzz_package", "file_one", b"\x02" + package(payload("2", [("client/Updater", b"#!")]), "2"))
write("fuzz_package", "file_client", b"\x02" + package(payload("2", [("c/kelv", b"x")]), "2", b"client"))
write("fuzz_package", "file_huge_dictionary",
      b"\x02" + package(payload("3.1", files), "3.1", dictionary=0xFFFFFFFF))
write("fuzz_package", "file_unsigned", b"\x00" + package(payload("2", [("client/kelv", b"x")]), "2"))
write("fuzz_package", "file_foreign_key", b"\x00" + b"KELVPKG2" + bytes(range(32)) + bytes(64)
      + package(payload("2", [("client/kelv", b"x")]), "2")[104:])
write("fuzz_package", "file_old_format", b"\x00" + b"KELVSIG1" + bytes(range(32)) + bytes(64)
      + package(payload("2", [("client/kelv", b"x")]), "2")[104:])
write("fuzz_package", "raw_three", b"\x03" + payload("1.2.3", files))
write("fuzz_package", "raw_unsafe", b"\x03" + payload("9", [("x/../../evil", b"e"), ("x//abs", b"a")]))
write("fuzz_package", "raw_nested", b"\x03" + payload("v", [("a/b", b"1"), ("a/b/c", b"2"), ("noslash", b"3")]))
write("fuzz_package", "raw_empty", b"\x03" + qstring("v") + struct.pack(">I", 0))

# 5. device-list blocks (little-endian count, 2105-byte records)
def record(device_id, version, sn, mask, path, hwid):
    r = bytearray(2105)
    r[0:len(device_id)] = device_id
    r[40:40 + len(version)] = version
    r[57:57 + len(sn)] = sn
    r[71:71 + len(mask)] = mask
    p = path.encode("utf-16-le"); r[1085:1085 + len(p)] = p
    h = hwid.encode("utf-16-le"); r[1595:1595 + len(h)] = h
    return bytes(r)
mouse = record(b"KV-M1", b"1.0.3", b"SN0001", b"01", "/dev/hidraw3", "HID\\Vid_0aa0&Pid_5e30")
boot = record(b"KV-BOOT", b"0.9", b"", b"", "/dev/hidraw4", "HID\\Vid_0aa0&Pid_5e31")
write("fuzz_device_list", "one", struct.pack("<H", 1) + mouse)
write("fuzz_device_list", "two_same", struct.pack("<H", 2) + mouse + mouse)
write("fuzz_device_list", "two", struct.pack("<H", 2) + boot + mouse)
write("fuzz_device_list", "count_too_big", struct.pack("<H", 300) + mouse)
full = bytearray(record(b"X" * 40, b"V" * 17, b"S" * 14, b"MM", "p" * 255, "h" * 255))
full[1085 + 510 - 2:1085 + 510] = b"pp"; full[1595 + 510 - 2:1595 + 510] = b"hh"
write("fuzz_device_list", "unterminated", struct.pack("<H", 1) + bytes(full))
write("fuzz_device_list", "utf8", struct.pack("<H", 1) + record("鼠标".encode(), b"\xff\xfe", b"", b"", "\ud7ff", "x"))

# 6. update service replies (first byte: bit 0 interactive, bit 1 failed, bit 2 Content-Range)
offer = {"code": 0, "ret": {"type": "0", "deployment": "client,html,firmware",
         "clientPackage": {"url": "http://127.0.0.1/c.pkg", "version": "1.1"},
         "devicePackage": {"url": "http://127.0.0.1/h.pkg"}, "firmwarePackage": {"url": "http://127.0.0.1/f.pkg"}}}
write("fuzz_update_reply", "offer", b"\x00" + json.dumps(offer).encode())
write("fuzz_update_reply", "latest", b"\x01" + b'{"code":1}')
write("fuzz_update_reply", "string_code", b"\x01" + b'{"code":"1","ret":{"type":"1","deployment":""}}')
write("fuzz_update_reply", "failed", b"\x02" + b"<html>502</html>")
write("fuzz_update_reply", "range", b"\x04" + b"bytes 204800-409599/409600")
write("fuzz_update_reply", "range_star", b"\x04" + b"bytes */99999999999999999999")

# 7. firmware images
def image(firmware, code=4118, second=0):
    buf = bytearray(67170)
    struct.pack_into("<II", buf, 0, code, second)
    buf[264:264 + len(firmware)] = firmware
    struct.pack_into("<Q", buf, 66113, len(firmware))
    struct.pack_into("<I", buf, 66121, zlib.crc32(firmware))
    return bytes(buf[:66125])
write("fuzz_firmware", "small", image(bytes(range(256)) * 4))
write("fuzz_firmware", "header_only", struct.pack("<II", 4118, 0))
write("fuzz_firmware", "wrong_code", image(b"abc", code=4119))
long_len = bytearray(image(b"x")); struct.pack_into("<Q", long_len, 66113, 1 << 40)
write("fuzz_firmware", "length_too_big", bytes(long_len))
write("fuzz_firmware", "too_long", image(b"x") + b"\0" * 1100)
