// Drives the registered control from JScript: created with new ActiveXObject, methods called
// through IDispatch before any connection. Exits with the number of failed checks.
var failures = 0;

function check(ok, what) {
    WScript.Echo((ok ? "ok: " : "FAILED: ") + what);
    if (!ok) failures++;
}

var ctrl = new ActiveXObject("VOXTREL.VoxtrelCtrl.1");
check(ctrl != null, "new ActiveXObject(\"VOXTREL.VoxtrelCtrl.1\")");
check(ctrl.CreateCall("pbx:100", "pbx:200") === "0", "CreateCall before Connect is \"0\"");
check(ctrl.SubscribeToVoiceMail("100") === "0", "SubscribeToVoiceMail before Connect is \"0\"");
check(ctrl.CloseCall("1") === false, "CloseCall before Connect is false");
check(ctrl.EnableDtmfDetection("1", true) === false, "EnableDtmfDetection before Connect is false");
check(ctrl.PlayMessage("1", "hello.wav", -1) === false, "PlayMessage before Connect is false");
check(ctrl.Disconnect() === false, "Disconnect before Connect is false");
check(ctrl.Connect("127.0.0.1", -1, 1, "demo", "demo") === false,
      "Connect without a server is false");
var threw = false;
try {
    ctrl.CloseCall();
} catch (e) {
    threw = true;
}
check(threw, "a missing argument throws");
ctrl = null;
WScript.Echo(failures + " failed");
WScript.Quit(failures);
