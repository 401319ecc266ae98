"""Interoperability of the protocol documents with Python's own XML-RPC implementation.

Every kind of document the control writes must read in xmlrpc.client as the expected method and
params, and documents that xmlrpc.client writes must read in the control as the expected
notifications. Texts hold no "<" or "&", since neither side escapes them the same way.
"""
import json
import os
import subprocess
import sys
import unittest
import xmlrpc.client

TOOL = os.environ.get("PROTOCOL_INTEROP", "protocol_interop")
PREFIX = "Services.CallProcessingService."


def run_tool(*args, document=""):
    result = subprocess.run([TOOL, *args], input=document.encode("latin-1"),
                            capture_output=True, check=True, timeout=30)
    return result.stdout.decode("latin-1").splitlines()


def normal(value):
    """Python's values in the JSON form the tool uses for what it wrote."""
    if isinstance(value, xmlrpc.client.DateTime):
        return {"dateTime": value.value}
    if isinstance(value, dict):
        return {k: normal(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    return value


def python_response(*params):
    """A methodResponse as xmlrpc.client marshals it; dumps itself allows only one param."""
    body = xmlrpc.client.Marshaller("utf-8", allow_none=False).dumps(params)
    return "<?xml version='1.0'?>\n<methodResponse>\n" + body + "</methodResponse>\n"


class OurDocumentsReadInPython(unittest.TestCase):
    def test_every_written_document(self):
        lines = run_tool("write")
        self.assertGreaterEqual(len(lines), 23)
        for line in lines:
            case = json.loads(line)
            doc = case["doc"]
            self.assertTrue(doc.endswith("\r\n\r\n"))
            with self.subTest(doc=doc.splitlines()[2]):
                if "fault" in case:
                    with self.assertRaises(xmlrpc.client.Fault) as raised:
                        xmlrpc.client.loads(doc)
                    self.assertEqual(raised.exception.faultCode, case["fault"]["faultCode"])
                    self.assertEqual(raised.exception.faultString, case["fault"]["faultString"])
                    continue
                params, method = xmlrpc.client.loads(doc)
                self.assertEqual(method, case["method"])
                self.assertEqual(normal(params), case["params"])


class PythonDocumentsReadHere(unittest.TestCase):
    def request(self, method, *params):
        doc = xmlrpc.client.dumps(params, methodname=PREFIX + method)
        return run_tool("read-request", document=doc)

    def response(self, method_type, doc):
        return run_tool("read-response", str(method_type), document=doc)

    def test_requests(self):
        struct = {"From": "sip:1@h", "To": "pbx:2", "OrigCallID": "17"}
        mail = {"From": "pbx:9", "Time": xmlrpc.client.DateTime("2006-05-04 13:02:01"),
                "Duration": 12, "MailID": 7}
        cases = [
            (("createcall", "5", "pbx:200", "PBX:100"),
             ["type 0 id 5", "OnCreateCall 5 pbx:200 {kind=0 number=100}"]),
            (("closecall", "42"), ["type 1 id 42", "OnCloseCall 42"]),
            (("transfercall", "42", "tel:555"),
             ["type 2 id 42", "OnTransferCall 42 {kind=3 number=555}"]),
            (("joincalls", "42", "43"), ["type 3 id 42", "OnJoinCalls 42 43"]),
            (("unjoincalls", "42", "43"), ["type 4 id 42", "OnUnjoinCalls 42 43"]),
            (("callstatechanged", "42", 3), ["type 5 id 42", "OnCallStateChanged 42 3"]),
            (("playmessage", "42", "a.wav", 2), ["type 6 id 42", "OnPlayMessage 42 a.wav 2"]),
            (("playmessage", "42", "a.wav"), ["type 6 id 42", "OnPlayMessage 42 a.wav -1"]),
            (("messageplayed", "42"), ["type 7 id 42", "OnMessagePlayed 42"]),
            (("enabledtmfdetection", "42", True),
             ["type 8 id 42", "OnEnableDtmfDetection 42 true"]),
            (("dtmfdigitdetected", "42", 53), ["type 9 id 42", "OnDtmfDigitReceived 42 5"]),
            (("incomingcallhandling", "100", False),
             ["type 10 id 0", "OnIncomingCallHandling 100 false"]),
            (("process", struct, "42"),
             ["type 11 id 42",
              "OnCallArrived 42 {kind=1 number=1 host=h} {kind=0 number=2} 17"]),
            (("authenticate", "user", "secret"), ["type 12 id 0", "OnAuthenticate user secret"]),
            (("subscribe", "77", 1, {"extension": "100"}),
             ["type 13 id 77", "OnSubscribe 77 100"]),
            (("unsubscribe", "77"), ["type 14 id 77", "OnUnsubscribe 77"]),
            (("mailarrived", "5", mail),
             ["type 15 id 5",
              "OnMailArrived 5 {kind=0 number=9} 2006-05-04 13:02:01 12 7"]),
            # Param counts and types that do not match are not read.
            (("callstatechanged", "42", 3, 4), ["unread"]),
            (("callstatechanged", "42", "3"), ["unread"]),
            (("closecall", 42), ["unread"]),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.request(*args), expected)

    def test_responses(self):
        self.assertEqual(
            self.response(1, xmlrpc.client.dumps(("42",), methodresponse=True)),
            ["answer id 42"])
        self.assertEqual(
            self.response(12, python_response(True, "welcome")),
            ["answer id 0", "OnAuthenticateResponse true welcome"])
        self.assertEqual(
            self.response(13, python_response("77", False, 3)),
            ["answer id 77", "OnSubscriptionConfirmed 77 false 3"])
        self.assertEqual(
            self.response(11, python_response({"action": "decline"}, "42")),
            ["answer id 42", "OnCallDeclined 42"])
        self.assertEqual(
            self.response(11, python_response(
                {"action": "redirect", "target": ["pbx:200", "sip:1@h"]}, "42")),
            ["answer id 42",
             "OnCallRedirected 42 {kind=0 number=200} {kind=1 number=1 host=h}  "])
        self.assertEqual(
            self.response(1, xmlrpc.client.dumps((42,), methodresponse=True)), ["unread"])

    def test_faults(self):
        doc = xmlrpc.client.dumps(xmlrpc.client.Fault(4, "T"))
        for method_type in (0, 1, 12, 13):
            with self.subTest(method_type=method_type):
                self.assertEqual(self.response(method_type, doc),
                                 ["fault id 0", "OnRequestFailed 0 4 T"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
