#!/usr/bin/env python3
"""A Python host of the component through ctypes, knowing only the library's
path: registers it, creates both classes by ProgID from the registry file,
drives them through IDispatch, and unregisters it. An operator library
stands in for the person at the viewer's screen.

    host_component.py <libtallyquill.so> <tallyquill command> <operator library>
"""

import configparser
import ctypes as C
import os
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import uuid

LIB_PATH, TOOL, OPERATOR = sys.argv[1], sys.argv[2], sys.argv[3]

S_OK, S_FALSE = 0, 1


def hresult(value):
    return value - (1 << 32) if value >= 0x80000000 else value


E_NOINTERFACE = hresult(0x80004002)
E_POINTER = hresult(0x80004003)
E_INVALIDARG = hresult(0x80070057)
CLASS_E_NOAGGREGATION = hresult(0x80040110)
CLASS_E_CLASSNOTAVAILABLE = hresult(0x80040111)
DISP_E_MEMBERNOTFOUND = hresult(0x80020003)
DISP_E_TYPEMISMATCH = hresult(0x80020005)
DISP_E_UNKNOWNNAME = hresult(0x80020006)
DISP_E_EXCEPTION = hresult(0x80020009)
DISP_E_OVERFLOW = hresult(0x8002000A)
DISP_E_BADPARAMCOUNT = hresult(0x8002000E)

VT_EMPTY, VT_I2, VT_I4, VT_BSTR, VT_BYREF = 0, 2, 3, 8, 0x4000
DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT = 1, 2, 4
DISPID_PROPERTYPUT = -3


class GUID(C.Structure):
    _fields_ = [("bytes", C.c_ubyte * 16)]

    @classmethod
    def parse(cls, text):
        g = cls()
        C.memmove(g.bytes, uuid.UUID(text).bytes_le, 16)
        return g


IID_NULL = GUID()
IID_IUnknown = GUID.parse("{00000000-0000-0000-C000-000000000046}")
IID_IDispatch = GUID.parse("{00020400-0000-0000-C000-000000000046}")
IID_IClassFactory = GUID.parse("{00000001-0000-0000-C000-000000000046}")
CLSID_MsgLogger = "{9DF206C8-9FCB-427B-8CE5-D02F44AF6654}"
IID_MsgLogger = "{663645FC-1419-4993-9AC2-F5CA5D6EA9C6}"
CLSID_LogViewer = "{FCF80014-721D-4820-870E-70ED3D3D011E}"
IID_LogViewer = "{08F73B45-421C-423C-B96E-2DB1231CA4AB}"
LIBID = "{72621490-EE50-4443-B058-D3ECBE82ADEF}"


class _Value(C.Union):
    _fields_ = [("llVal", C.c_longlong), ("lVal", C.c_int32), ("iVal", C.c_int16),
                ("bstrVal", C.c_void_p), ("piVal", C.POINTER(C.c_int16)), ("byref", C.c_void_p),
                ("rec", C.c_void_p * 2)]


class VARIANT(C.Structure):
    _fields_ = [("vt", C.c_ushort), ("r1", C.c_ushort), ("r2", C.c_ushort), ("r3", C.c_ushort), ("u", _Value)]


class DISPPARAMS(C.Structure):
    _fields_ = [("rgvarg", C.POINTER(VARIANT)), ("rgdispidNamedArgs", C.POINTER(C.c_int32)),
                ("cArgs", C.c_uint32), ("cNamedArgs", C.c_uint32)]


class EXCEPINFO(C.Structure):
    _fields_ = [("wCode", C.c_ushort), ("wReserved", C.c_ushort), ("bstrSource", C.c_void_p),
                ("bstrDescription", C.c_void_p), ("bstrHelpFile", C.c_void_p), ("dwHelpContext", C.c_uint32),
                ("pvReserved", C.c_void_p), ("pfnDeferredFillIn", C.c_void_p), ("scode", C.c_int32)]


assert C.sizeof(VARIANT) == 24 and C.sizeof(DISPPARAMS) == 24 and C.sizeof(EXCEPINFO) == 64

lib = None  # loaded once the environment is ready


def load_library():
    global lib
    lib = C.CDLL(LIB_PATH)
    for name in ("DllRegisterServer", "DllUnregisterServer", "DllCanUnloadNow"):
        getattr(lib, name).restype = C.c_int32
        getattr(lib, name).argtypes = []
    lib.DllGetClassObject.restype = C.c_int32
    lib.DllGetClassObject.argtypes = [C.POINTER(GUID), C.POINTER(GUID), C.POINTER(C.c_void_p)]
    lib.SysAllocStringLen.restype = C.c_void_p
    lib.SysAllocStringLen.argtypes = [C.c_char_p, C.c_uint32]
    lib.SysFreeString.argtypes = [C.c_void_p]
    lib.SysStringLen.restype = C.c_uint32
    lib.SysStringLen.argtypes = [C.c_void_p]
    lib.VariantInit.argtypes = [C.POINTER(VARIANT)]
    lib.VariantClear.restype = C.c_int32
    lib.VariantClear.argtypes = [C.POINTER(VARIANT)]


def bstr(text):
    units = text.encode("utf-16-le", "surrogatepass")
    return lib.SysAllocStringLen(units, len(units) // 2)


def text_of(b):
    return C.string_at(b, 2 * lib.SysStringLen(b)).decode("utf-16-le") if b else ""


def olestr(text):
    return C.create_string_buffer(text.encode("utf-16-le") + b"\0\0")


def method(obj, slot, *argtypes):
    """The vtable function at slot, called with obj as its first argument."""
    vtbl = C.cast(obj, C.POINTER(C.POINTER(C.c_void_p)))[0]
    fn = C.CFUNCTYPE(C.c_int32, C.c_void_p, *argtypes)(vtbl[slot])
    return lambda *args: fn(obj, *args)


def release(obj):
    vtbl = C.cast(obj, C.POINTER(C.POINTER(C.c_void_p)))[0]
    return C.CFUNCTYPE(C.c_uint32, C.c_void_p)(vtbl[2])(obj)


def query_interface(obj, iid):
    out = C.c_void_p(1)
    hr = method(obj, 0, C.POINTER(GUID), C.POINTER(C.c_void_p))(C.byref(iid), C.byref(out))
    return hr, out.value


def create_object(prog_id):
    """What a host's CreateObject does: ProgID -> class -> library -> factory."""
    reg = configparser.ConfigParser(interpolation=None)
    reg.read(os.environ["TALLYQUILL_REGISTRY"])
    clsid = reg[f"ProgID {prog_id}"]["CLSID"]
    server = reg[f"CLSID {clsid}"]["InprocServer"]
    assert os.path.samefile(server, LIB_PATH), server
    factory = C.c_void_p()
    hr = lib.DllGetClassObject(C.byref(GUID.parse(clsid)), C.byref(IID_IClassFactory), C.byref(factory))
    assert hr == S_OK, hex(hr)
    obj = C.c_void_p()
    hr = method(factory, 3, C.c_void_p, C.POINTER(GUID), C.POINTER(C.c_void_p))(
        None, C.byref(IID_IDispatch), C.byref(obj))
    release(factory)
    assert hr == S_OK, hex(hr)
    return obj


def dispid(obj, *names):
    bufs = [olestr(n) for n in names]
    arr = (C.c_void_p * len(names))(*[C.addressof(b) for b in bufs])
    ids = (C.c_int32 * len(names))()
    hr = method(obj, 5, C.POINTER(GUID), C.c_void_p, C.c_uint32, C.c_uint32, C.c_void_p)(
        C.byref(IID_NULL), arr, len(names), 0, ids)
    return hr, list(ids)


def var(value, vt=None):
    v = VARIANT()
    if isinstance(value, str):
        v.vt, v.u.bstrVal = VT_BSTR, bstr(value)
    else:
        v.vt = vt or VT_I2
        if v.vt == VT_I4:
            v.u.lVal = value
        else:
            v.u.iVal = value
    return v


def invoke(obj, member, flags, args=(), named=None):
    """Invoke by name with args in declaration order; answers (hr, result, excepinfo, argerr)."""
    hr, ids = dispid(obj, member)
    assert hr == S_OK, (member, hex(hr))
    return invoke_id(obj, ids[0], flags, args, named)


def invoke_id(obj, member_id, flags, args=(), named=None):
    """Invoke by dispatch identifier, as a host that knows the documented numbers does."""
    rgvarg = (VARIANT * max(1, len(args)))(*reversed(args))
    named_ids = (C.c_int32 * 1)(DISPID_PROPERTYPUT)
    params = DISPPARAMS(rgvarg, named_ids if named else None, len(args), 1 if named else 0)
    result, excep, argerr = VARIANT(), EXCEPINFO(), C.c_uint32(99)
    hr = method(obj, 6, C.c_int32, C.POINTER(GUID), C.c_uint32, C.c_uint16, C.POINTER(DISPPARAMS),
                C.POINTER(VARIANT), C.POINTER(EXCEPINFO), C.POINTER(C.c_uint32))(
        member_id, C.byref(IID_NULL), 0, flags, C.byref(params), C.byref(result), C.byref(excep), C.byref(argerr))
    for a in args:
        lib.VariantClear(C.byref(a))
    return hr, result, excep, argerr.value


def put(obj, member, value, vt=None):
    return invoke(obj, member, DISPATCH_PROPERTYPUT, [var(value, vt)], named=True)[0]


def get(obj, member):
    hr, result, _, _ = invoke(obj, member, DISPATCH_PROPERTYGET)
    assert hr == S_OK, (member, hex(hr))
    value = text_of(result.u.bstrVal) if result.vt == VT_BSTR else result.u.iVal
    assert result.vt in (VT_BSTR, VT_I2), result.vt
    lib.VariantClear(C.byref(result))
    return value


def write_log(obj, user, event, data):
    hr, result, excep, _ = invoke(obj, "WriteLog", DISPATCH_METHOD, [var(user), var(event), var(data)])
    description = text_of(excep.bstrDescription)
    for b in (excep.bstrSource, excep.bstrDescription, excep.bstrHelpFile):
        lib.SysFreeString(b)
    return hr, (result.u.iVal if result.vt == VT_I2 else None), description, excep.scode


class CapturedStderr:
    """The library writes its messages to the process's fd 2."""

    def __enter__(self):
        sys.stderr.flush()
        self.file = tempfile.TemporaryFile()
        self.saved = os.dup(2)
        os.dup2(self.file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)
        self.file.seek(0)
        self.text = self.file.read().decode("utf-8", "replace")
        self.file.close()


class Host(unittest.TestCase):
    """Steps in their order: register, use both classes, misuse, unload and unregister."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        os.environ["ODBCINI"] = os.path.join(cls.tmp.name, "odbc.ini")
        os.environ["TALLYQUILL_REGISTRY"] = cls.registry = os.path.join(cls.tmp.name, "cfg", "registry.ini")
        cls.database = os.path.join(cls.tmp.name, "log.sqlite")
        cls.dsn = f"tqpyhost_{os.getpid()}"
        subprocess.run([TOOL, "setup", "--dsn", cls.dsn, "--database", cls.database], check=True,
                       stdout=subprocess.DEVNULL)
        os.makedirs(os.path.dirname(cls.registry))
        with open(cls.registry, "w") as f:
            f.write("[ProgID Other.Thing]\nCLSID={00000000-0000-0000-0000-000000000001}\n")
        load_library()

    def test_1_registration(self):
        self.assertEqual(lib.DllRegisterServer(), S_OK)
        self.assertEqual(lib.DllRegisterServer(), S_OK)
        reg = configparser.ConfigParser(interpolation=None)
        reg.read(self.registry)
        self.assertEqual(reg["ProgID Tallyquill.MsgLogger"]["CLSID"], CLSID_MsgLogger)
        self.assertEqual(reg["ProgID Tallyquill.LogViewer"]["CLSID"], CLSID_LogViewer)
        for clsid, iid in ((CLSID_MsgLogger, IID_MsgLogger), (CLSID_LogViewer, IID_LogViewer)):
            entry = reg[f"CLSID {clsid}"]
            self.assertTrue(os.path.isabs(entry["InprocServer"]))
            self.assertTrue(os.path.samefile(entry["InprocServer"], LIB_PATH))
            self.assertEqual(entry["Interface"], iid)
            self.assertEqual(entry["TypeLib"], LIBID)
        self.assertEqual(reg[f"TypeLib {LIBID}"]["Name"], "Tallyquill")
        self.assertIn("ProgID Other.Thing", reg)

    def test_2_msg_logger(self):
        logger = create_object("Tallyquill.MsgLogger")
        try:
            for member, value, expected in (("AppID", "orders", "ORDERS"), ("WorkstationID", "ws01", "WS01"),
                                            ("DSN", "d s n", "d s n"), ("LoginID", "Ann", "Ann"),
                                            ("Password", "pä\U0001F511", "pä\U0001F511")):
                self.assertEqual(put(logger, member, value), S_OK)
                self.assertEqual(get(logger, member), expected)
            put(logger, "LoginID", "")
            put(logger, "Password", "")
            put(logger, "DSN", self.dsn)
            put(logger, "AppID", "pyhost")
            self.assertEqual(write_log(logger, "john", "login", "Signed on")[:2], (S_OK, 0))
            self.assertEqual(write_log(logger, "", "", "登录 'ok'")[:2], (S_OK, 0))

            # Refused before anything is written: text that cannot be stored
            # as given is an invalid argument; a value too long for its
            # column is what every database says of it.
            for user, data, says in (("u", "before\0after", "NUL"), ("u", "half \ud800 pair", "surrogate"),
                                     ("u" * 16, "x", "too long")):
                hr, _, description, scode = write_log(logger, user, "e", data)
                self.assertEqual(hr, DISP_E_EXCEPTION, description)
                self.assertIn(says, description)
                self.assertEqual(scode == E_INVALIDARG, says != "too long")

            # A table the database does not have (the AppID changed after the
            # first write) is made by the write that needs it.
            put(logger, "AppID", "elsewhere")
            self.assertEqual(write_log(logger, "u", "e", "elsewhere")[:2], (S_OK, 0))
            put(logger, "AppID", "pyhost")
            self.assertEqual(write_log(logger, "u", "e", "back")[:2], (S_OK, 0))
        finally:
            self.assertEqual(release(logger), 0)
        with sqlite3.connect(self.database) as db:
            rows = db.execute("SELECT log_AppID, log_User, log_Data FROM PYHOST_logs ORDER BY rowid").fetchall()
        self.assertEqual([(a.strip(), u.strip(), d) for a, u, d in rows],
                         [("PYHOST", "JOHN", "Signed on"), ("PYHOST", "", "登录 'ok'"), ("PYHOST", "U", "back")])

        headless = create_object("Tallyquill.MsgLogger")
        put(headless, "AppID", "pyhost")
        with CapturedStderr() as err:
            self.assertEqual(write_log(headless, "u", "e", "x")[:2], (S_OK, 1))
        self.assertIn("No DSN provided", err.text)
        self.assertEqual(release(headless), 0)

    def test_3_log_viewer(self):
        viewer = create_object("Tallyquill.LogViewer")
        try:
            self.assertEqual([get(viewer, m) for m in ("Caption", "UserProgDesc", "EventDesc", "ActivityDesc")],
                             ["Log Viewer", "User", "Event Type", "Activity"])
            for member in ("Caption", "AppID", "WorkstationID", "UserProgDesc", "EventDesc", "ActivityDesc",
                           "DSN", "LoginID", "Password"):
                self.assertEqual(put(viewer, member, f"{member} orders"), S_OK)
                self.assertEqual(get(viewer, member), f"{member} orders")
            for member, value, vt in (("AppIDVisible", -1, VT_I2), ("WorkstationIDVisible", 1, VT_I4),
                                      ("UserProgVisible", 0, VT_I2), ("EventVisible", -32768, VT_I4)):
                self.assertEqual(put(viewer, member, value, vt), S_OK)
                self.assertEqual(get(viewer, member), value)
            self.assertEqual(put(viewer, "EventVisible", 40000, VT_I4), DISP_E_OVERFLOW)
            self.assertEqual(put(viewer, "EventVisible", "1"), DISP_E_TYPEMISMATCH)
            self.assertEqual(invoke(viewer, "ShowLog", DISPATCH_METHOD)[0], DISP_E_BADPARAMCOUNT)
            self.assertEqual(invoke(viewer, "ShowLog", DISPATCH_METHOD, [var("1")])[0], DISP_E_TYPEMISMATCH)
        finally:
            self.assertEqual(release(viewer), 0)

    def test_3a_viewer_session_by_documented_identifiers(self):
        """Opened modelessly, the screen waits for the host's event loop; a host without one
        hands it to the operator with ShowLog(1), who retrieves and closes it."""
        SHOW_LOG, DSN, APP_ID = 0x6003000D, 0x68030002, 0x6803000B
        with sqlite3.connect(self.database) as db:
            first, last = db.execute("SELECT MIN(log_Date), MAX(log_Date) FROM PYHOST_logs").fetchone()
        masked = lambda d: f"{d[6:8]}/{d[4:6]}/{d[0:4]}"
        operator = C.CDLL(OPERATOR)
        operator.tq_operator_arm.argtypes = [C.c_char_p] * 3
        operator.tq_operator_report.restype = C.c_char_p
        viewer = create_object("Tallyquill.LogViewer")
        try:
            for member_id, value in ((DSN, self.dsn), (APP_ID, "pyhost")):
                self.assertEqual(invoke_id(viewer, member_id, DISPATCH_PROPERTYPUT, [var(value)], named=True)[0],
                                 S_OK)
            status = C.c_int16()

            def show_log(popup_status):
                status.value = popup_status
                by_ref = VARIANT()
                by_ref.vt, by_ref.u.piVal = VT_BYREF | VT_I2, C.pointer(status)
                return invoke_id(viewer, SHOW_LOG, DISPATCH_METHOD, [by_ref])[0]

            self.assertEqual(show_log(0), S_OK)
            self.assertEqual(operator.tq_operator_screen_open(), 1)
            self.assertEqual(operator.tq_operator_arm(masked(first).encode(), masked(last).encode(), b"PYHOST"), 1)
            self.assertEqual(show_log(1), S_OK)
            self.assertEqual(operator.tq_operator_screen_open(), 0)
            report = operator.tq_operator_report().decode("utf-8").splitlines()
            self.assertEqual(report[:2], ["modal: 1", "found: 3"], report)
            self.assertIn(report[2], ["first: Signed on", "first: 登录 'ok'", "first: back"])
        finally:
            self.assertEqual(release(viewer), 0)

    def test_4_misuse(self):
        out = C.c_void_p(1)
        self.assertEqual(lib.DllGetClassObject(C.byref(GUID.parse(IID_MsgLogger)), C.byref(IID_IClassFactory),
                                               C.byref(out)), CLASS_E_CLASSNOTAVAILABLE)
        self.assertIsNone(out.value)
        self.assertEqual(lib.DllGetClassObject(C.byref(GUID.parse(CLSID_MsgLogger)), C.byref(IID_IClassFactory),
                                               None), E_POINTER)
        factory = C.c_void_p()
        self.assertEqual(lib.DllGetClassObject(C.byref(GUID.parse(CLSID_MsgLogger)), C.byref(IID_IClassFactory),
                                               C.byref(factory)), S_OK)
        create = method(factory, 3, C.c_void_p, C.POINTER(GUID), C.POINTER(C.c_void_p))
        self.assertEqual(create(C.addressof(out), C.byref(IID_IUnknown), C.byref(out)), CLASS_E_NOAGGREGATION)
        self.assertEqual(create(None, C.byref(IID_IClassFactory), C.byref(out)), E_NOINTERFACE)
        self.assertEqual(create(None, C.byref(IID_IUnknown), None), E_POINTER)
        release(factory)

        logger = create_object("Tallyquill.MsgLogger")
        try:
            self.assertEqual(query_interface(logger, IID_IClassFactory), (E_NOINTERFACE, None))
            hr, typed = query_interface(logger, GUID.parse(IID_MsgLogger))
            self.assertEqual(hr, S_OK)
            release(typed)
            self.assertEqual(dispid(logger, "Nonsense")[0], DISP_E_UNKNOWNNAME)
            self.assertEqual(dispid(logger, "writelog", "LOGDATA"), (S_OK, [0x60030005, 2]))
            self.assertEqual(put(logger, "AppID", 5), DISP_E_TYPEMISMATCH)
            hr, _, _, argerr = invoke(logger, "WriteLog", DISPATCH_METHOD, [var("a"), var(7, VT_I4), var("c")])
            self.assertEqual((hr, argerr), (DISP_E_TYPEMISMATCH, 1))
            self.assertEqual(invoke(logger, "WriteLog", DISPATCH_METHOD, [var("a")])[0], DISP_E_BADPARAMCOUNT)
            self.assertEqual(invoke(logger, "AppID", DISPATCH_PROPERTYGET, [var("a")])[0], DISP_E_BADPARAMCOUNT)
            self.assertEqual(invoke(logger, "CreateTable", DISPATCH_PROPERTYGET)[0], DISP_E_MEMBERNOTFOUND)
            # The vtable's get_AppID (slot 7) and WriteLog (slot 13) with null out-pointers.
            self.assertEqual(method(logger, 7, C.c_void_p)(None), E_POINTER)
            self.assertEqual(method(logger, 13, C.c_void_p, C.c_void_p, C.c_void_p, C.c_void_p)(None, None, None,
                                                                                               None), E_POINTER)
        finally:
            release(logger)

    def test_5_unload_and_unregister(self):
        self.assertEqual(lib.DllCanUnloadNow(), S_OK)
        keep = create_object("Tallyquill.LogViewer")
        self.assertEqual(lib.DllCanUnloadNow(), S_FALSE)
        release(keep)
        self.assertEqual(lib.DllCanUnloadNow(), S_OK)
        self.assertEqual(lib.DllUnregisterServer(), S_OK)
        self.assertEqual(lib.DllUnregisterServer(), S_OK)
        with open(self.registry) as f:
            text = f.read()
        self.assertNotIn("Tallyquill", text)
        self.assertIn("[ProgID Other.Thing]", text)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
