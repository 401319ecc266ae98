// JScript drives the registered control before any connection: numbers convert as declared.
var failures = 0;
function check(ok, what) { WScript.Echo((ok ? "ok: " : "FAILED: ") + what); failures += ok ? 0 : 1; }
var ctrl = new ActiveXObject("VOXTREL.VoxtrelCtrl.1");
check(ctrl.CreateCall("pbx:100", "pbx:200") === "0", "CreateCall before Connect is \"0\"");
check(ctrl.PlayMessage("1", "hello.wav", -1) === false, "PlayMessage before Connect is false");
check(ctrl.EnableDtmfDetection("1", true) === false, "EnableDtmfDetection before Connect is false");
try { ctrl.CloseCall(); check(false, "a missing argument throws"); }
catch (e) { check(true, "a missing argument throws"); }
WScript.Echo(failures + " failed");
WScript.Quit(failures);
