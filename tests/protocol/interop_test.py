"""Interoperability of the protocol documents with Python's own XML-RPC implementation.

Every kind of document the control writes must read in xmlrpc.client as the expected method and
params, and documents that xmlrpc.client writes must read in the control as the expected
notifications. Texts hold no "<" or "&", since neither side escapes them the same way.
"""
import os
import subprocess
import sys
import unittest
import xmlrpc.client

TOOL = os.environ.get("PROTOCOL_INTEROP", "protocol_interop")
PREFIX = "Services.CallProcessingService."
MAIL = {"From": "sip:alice@host", "Time": xmlrpc.client.DateTime("2006-05-04 13:02:01"),
        "Duration": 12, "MailID": 7}
OFFER = {"From": "sip:1@h", "To": "tel:2", "Contact": "sip:1@h", "OrigCallID": "17"}
# What each written document reads as: (method short name or None for an answer, params).
WRITTEN = {
    "createcall": ("createcall", ("1234567890123", "pbx:200", "pbx:100")),
    "closecall": ("closecall", ("42",)),
    "transfercall": ("transfercall", ("42", "tel:555")),
    "joincalls": ("joincalls", ("42", "43")),
    "unjoincalls": ("unjoincalls", ("42", "43")),
    "callstatechanged": ("callstatechanged", ("42", 3)),
    "playmessage": ("playmessage", ("42", "hello.wav", -1)),
    "messageplayed": ("messageplayed", ("42",)),
    "enabledtmfdetection": ("enabledtmfdetection", ("42", True)),
    "dtmfdigitdetected": ("dtmfdigitdetected", ("42", 35)),
    "incomingcallhandling": ("incomingcallhandling", ("100", True)),
    "process": ("process", (OFFER, "42")),
    "authenticate": ("authenticate", ("user", "")),
    "subscribe": ("subscribe", ("77", 1, {"extension": "100"})),
    "unsubscribe": ("unsubscribe", ("77",)),
    "mailarrived": ("mailarrived", ("5", MAIL)),
    "ack": (None, ("42",)),
    "authenticate answer": (None, (True, "welcome")),
    "subscribe answer": (None, ("77", True, 0)),
    "accept": (None, ({"action": "accept", "callerid": "100", "displayname": "Desk"}, "42")),
    "redirect": (None, ({"action": "redirect", "target": ["pbx:200"]}, "42")),
    "decline": (None, ({"action": "decline", "reason": ["busy"]}, "42")),
    "plain decline": (None, ({"action": "decline"}, "42")),
}


def run_tool(*args, document=""):
    result = subprocess.run([TOOL, *args], input=document.encode("latin-1"),
                            capture_output=True, check=True, timeout=30)
    return result.stdout.decode("latin-1").splitlines()


def python_response(*params):
    """A methodResponse as xmlrpc.client marshals it; dumps itself allows only one param."""
    body = xmlrpc.client.Marshaller("utf-8", allow_none=False).dumps(params)
    return "<?xml version='1.0'?>\n<methodResponse>\n" + body + "</methodResponse>\n"


class OurDocumentsReadInPython(unittest.TestCase):
    def test_every_written_document(self):
        lines = [line.split("\t") for line in run_tool("write")]
        self.assertEqual(sorted(name for name, _, _ in lines), sorted([*WRITTEN, "fault"]))
        for name, _, hex_doc in lines:
            doc = bytes.fromhex(hex_doc).decode("latin-1")
            with self.subTest(name=name):
                if name == "fault":
                    with self.assertRaises(xmlrpc.client.Fault) as raised:
                        xmlrpc.client.loads(doc)
                    self.assertEqual(raised.exception.faultCode, 4)
                    self.assertEqual(raised.exception.faultString, "T")
                    continue
                method, params = WRITTEN[name]
                self.assertEqual(xmlrpc.client.loads(doc), (params, method and PREFIX + method))


class PythonDocumentsReadHere(unittest.TestCase):
    def test_requests(self):
        offer = {"From": "sip:1@h", "To": "pbx:2", "OrigCallID": "17"}
        mail = dict(MAIL, From="pbx:9")
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
            (("process", offer, "42"),
             ["type 11 id 42",
              "OnCallArrived 42 {kind=1 number=1 host=h} {kind=0 number=2} 17"]),
            (("authenticate", "user", "secret"), ["type 12 id 0", "OnAuthenticate user secret"]),
            (("subscribe", "77", 1, {"extension": "100"}),
             ["type 13 id 77", "OnSubscribe 77 100"]),
            (("unsubscribe", "77"), ["type 14 id 77", "OnUnsubscribe 77"]),
            (("mailarrived", "5", mail),
             ["type 15 id 5", "OnMailArrived 5 {kind=0 number=9} 2006-05-04 13:02:01 12 7"]),
            # Param counts and types that do not match are not read.
            (("callstatechanged", "42", 3, 4), ["unread"]),
            (("callstatechanged", "42", "3"), ["unread"]),
            (("closecall", 42), ["unread"]),
        ]
        for (method, *params), expected in cases:
            with self.subTest(method=method, params=params):
                doc = xmlrpc.client.dumps(tuple(params), methodname=PREFIX + method)
                self.assertEqual(run_tool("read-request", document=doc), expected)

    def test_responses(self):
        fault = xmlrpc.client.dumps(xmlrpc.client.Fault(4, "T"))
        cases = [
            (1, xmlrpc.client.dumps(("42",), methodresponse=True), ["answer id 42"]),
            (12, python_response(True, "welcome"),
             ["answer id 0", "OnAuthenticateResponse true welcome"]),
            (13, python_response("77", False, 3),
             ["answer id 77", "OnSubscriptionConfirmed 77 false 3"]),
            (11, python_response({"action": "decline"}, "42"), ["answer id 42", "OnCallDeclined 42"]),
            (11, python_response({"action": "redirect", "target": ["pbx:200", "sip:1@h"]}, "42"),
             ["answer id 42",
              "OnCallRedirected 42 {kind=0 number=200} {kind=1 number=1 host=h}  "]),
            (1, xmlrpc.client.dumps((42,), methodresponse=True), ["unread"]),
        ] + [(t, fault, ["fault id 0", "OnRequestFailed 0 4 T"]) for t in (0, 1, 12, 13)]
        for method_type, doc, expected in cases:
            with self.subTest(method_type=method_type, doc=doc):
                self.assertEqual(run_tool("read-response", str(method_type), document=doc),
                                 expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
