' Drives the registered control from VBScript by its program id; with the simulator's host and
' port as arguments it also connects, calls, subscribes and disconnects. Exits with the failures.
Option Explicit
Dim failures, ctrl, r, port, callId, subscription
failures = 0

Sub Check(ok, what)
    If ok Then WScript.Echo "ok: " & what Else WScript.Echo "FAILED: " & what : failures = failures + 1
End Sub

Set ctrl = CreateObject("VOXTREL.VoxtrelCtrl.1")
' Before Connect every method refuses: False, or the text "0" for the ids. Script values are
' converted to the declared types: a small number to a short, True to a BOOL.
Check ctrl.CreateCall("pbx:100", "pbx:200") = "0", "CreateCall before Connect is ""0"""
Check ctrl.PlayMessage("1", "hello.wav", -1) = False, "PlayMessage before Connect is False"
Check ctrl.EnableDtmfDetection("1", True) = False, "EnableDtmfDetection before Connect is False"
' Nothing listens on port 65535 (port -1) of loopback.
Check ctrl.Connect("127.0.0.1", -1, 1, "demo", "demo") = False, "Connect without a server is False"
On Error Resume Next
r = ctrl.CloseCall()
Check Err.Number <> 0, "a missing argument is an error"
On Error GoTo 0

If WScript.Arguments.Count = 2 Then
    ' The port is a 16-bit integer taken unsigned: ports above 32767 go as negative numbers.
    port = CLng(WScript.Arguments(1))
    If port > 32767 Then port = port - 65536
    Check ctrl.Connect(WScript.Arguments(0), CInt(port), 5, "demo", "demo"), "Connect to the simulator"
    callId = ctrl.CreateCall("pbx:100", "pbx:200")
    Check IsNumeric(callId) And callId <> "0", "CreateCall gives a decimal id (" & callId & ")"
    subscription = ctrl.SubscribeToVoiceMail("100")
    Check IsNumeric(subscription) And subscription <> "0", "SubscribeToVoiceMail gives an id"
    Check ctrl.CloseCall(callId) = True, "CloseCall of the new call, passed by reference"
    Check ctrl.Disconnect() = True, "Disconnect"
End If

Set ctrl = Nothing
WScript.Echo failures & " failed"
WScript.Quit failures
