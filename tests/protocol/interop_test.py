"""Interoperability of the protocol documents with Python's own XML-RPC implementation.

Every document the control writes must read in xmlrpc.client, and what xmlrpc.client reads from
it, written again by xmlrpc.client, must read in the control exactly as the control's own does.
"""
import os
import subprocess
import sys
import unittest
import xmlrpc.client

TOOL = os.environ.get("PROTOCOL_INTEROP", "protocol_interop")
PREFIX = "Services.CallProcessingService."
REQUEST = 16


def read(answer_to, document):
    """What the control reads a document as: a request, or the answer to a request type."""
    result = subprocess.run([TOOL, "read", str(answer_to)], input=document.encode("latin-1"),
                            capture_output=True, check=True, timeout=30)
    return result.stdout.decode("latin-1").splitlines()


def python_document(params, method=None):
    """The document xmlrpc.client writes; dumps itself allows only one param in an answer."""
    if method or isinstance(params, xmlrpc.client.Fault):
        return xmlrpc.client.dumps(params, methodname=method)
    body = xmlrpc.client.Marshaller("utf-8", allow_none=False).dumps(params)
    return "<?xml version='1.0'?>\n<methodResponse>\n" + body + "</methodResponse>\n"


class Interoperability(unittest.TestCase):
    def test_every_written_document_through_python_and_back(self):
        written = subprocess.run([TOOL, "write"], capture_output=True, check=True, timeout=30)
        documents = [item.split("\t", 1) for item in written.stdout.decode("latin-1").split("\0")]
        self.assertEqual(documents.pop(), [""])
        self.assertEqual(len(documents), 24)
        for index, (answer_to, doc) in enumerate(documents):
            with self.subTest(index=index):
                try:
                    params, method = xmlrpc.client.loads(doc, use_builtin_types=False)
                except xmlrpc.client.Fault as fault:
                    params, method = fault, None
                self.assertEqual(method is not None, int(answer_to) == REQUEST)
                ours = read(int(answer_to), doc)
                self.assertNotIn("unread", ours)
                self.assertEqual(read(int(answer_to), python_document(params, method)), ours)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
