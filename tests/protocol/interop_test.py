"""Interoperability of the protocol documents with Python's own XML-RPC implementation.

Every kind of document the control writes must read in xmlrpc.client as the expected method and
params, and the same content as xmlrpc.client writes it must read in the control exactly as the
control's own document does. Texts hold no "<" or "&", since neither side escapes them the same
way.
"""
import os
import subprocess
import sys
import unittest
import xmlrpc.client

TOOL = os.environ.get("PROTOCOL_INTEROP", "protocol_interop")
PREFIX = "Services.CallProcessingService."
REQUEST = 16
MAIL = {"From": "sip:alice@host", "Time": xmlrpc.client.DateTime("2006-05-04 13:02:01"),
        "Duration": 12, "MailID": 7}
# What each written document reads as: (method short name, or None for an answer, params).
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
    "process": ("process", (
        {"From": "sip:1@h", "To": "tel:2", "Contact": "sip:1@h", "OrigCallID": "17"}, "42")),
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
    "fault": (None, xmlrpc.client.Fault(4, "T")),
}


def run_tool(*args, document=""):
    result = subprocess.run([TOOL, *args], input=document.encode("latin-1"),
                            capture_output=True, check=True, timeout=30)
    return result.stdout.decode("latin-1").splitlines()


def read(answer_to, document):
    """What the control reads a document as: a request, or the answer to a request type."""
    if answer_to == REQUEST:
        return run_tool("read-request", document=document)
    return run_tool("read-response", str(answer_to), document=document)


def python_document(method, params):
    """The document xmlrpc.client writes; dumps itself allows only one param in an answer."""
    if method:
        return xmlrpc.client.dumps(tuple(params), methodname=PREFIX + method)
    if isinstance(params, xmlrpc.client.Fault):
        return xmlrpc.client.dumps(params)
    body = xmlrpc.client.Marshaller("utf-8", allow_none=False).dumps(params)
    return "<?xml version='1.0'?>\n<methodResponse>\n" + body + "</methodResponse>\n"


class Interoperability(unittest.TestCase):
    def test_every_written_document_both_ways(self):
        lines = [line.split("\t") for line in run_tool("write")]
        self.assertEqual(sorted(name for name, _, _ in lines), sorted(WRITTEN))
        for name, answer_to, hex_doc in lines:
            doc = bytes.fromhex(hex_doc).decode("latin-1")
            method, params = WRITTEN[name]
            with self.subTest(name=name):
                if isinstance(params, xmlrpc.client.Fault):
                    with self.assertRaises(xmlrpc.client.Fault) as raised:
                        xmlrpc.client.loads(doc)
                    self.assertEqual(str(raised.exception), str(params))
                else:
                    self.assertEqual(xmlrpc.client.loads(doc), (params, method and PREFIX + method))
                ours = read(int(answer_to), doc)
                self.assertNotIn("unread", ours)
                self.assertEqual(read(int(answer_to), python_document(method, params)), ours)

    def test_more_documents_from_python(self):
        fault = python_document(None, xmlrpc.client.Fault(4, "T"))
        cases = [
            (REQUEST, python_document("createcall", ("5", "x", "PBX:100")),
             ["type 0 id 5", "OnCreateCall 5 x {kind=0 number=100}"]),
            (REQUEST, python_document("playmessage", ("42", "a.wav")),
             ["type 6 id 42", "OnPlayMessage 42 a.wav -1"]),
            (REQUEST, python_document("mailarrived", ("5", dict(MAIL, From="pbx:9"))),
             ["type 15 id 5", "OnMailArrived 5 {kind=0 number=9} 2006-05-04 13:02:01 12 7"]),
            # Param counts and types that do not match are not read.
            (REQUEST, python_document("callstatechanged", ("42", 3, 4)), ["unread"]),
            (REQUEST, python_document("callstatechanged", ("42", "3")), ["unread"]),
            (REQUEST, python_document("closecall", (42,)), ["unread"]),
            (1, python_document(None, (42,)), ["unread"]),
        ] + [(t, fault, ["fault id 0", "OnRequestFailed 0 4 T"]) for t in (0, 1, 12, 13)]
        for answer_to, doc, expected in cases:
            with self.subTest(answer_to=answer_to, doc=doc):
                self.assertEqual(read(answer_to, doc), expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
