// Interoperability helper for the Python test: "write" prints every kind of document this side
// writes, one JSON object per line with the content an XML-RPC reader must find in it;
// "read-request" and "read-response TYPE" read one document from standard input and print the
// notifications its Dispatch made, one per line.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/fault_response.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"
#include "recording_client.h"

using namespace voxtrel;

namespace {

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// One line: the document and, as JSON, what it must read as.
void Emit(const XmlRpcMethod& message, const char* expected) {
    std::string doc;
    if (!message.Write(doc)) {
        std::fprintf(stderr, "a message did not write\n");
        std::exit(1);
    }
    std::cout << "{\"doc\":" << JsonText(doc) << "," << expected << "}\n";
}

PartyAddress Address(const char* text) {
    PartyAddress a;
    ResetPartyAddress(a);
    ParsePartyAddress(text, a);
    return a;
}

void WriteAll() {
    setenv("TZ", "UTC", 1);
    tzset();
    CreateCallMethod createCall;
    createCall.SetParams(1234567890123u, "pbx:200", Address("PBX:100"));
    Emit(createCall, R"("method":"Services.CallProcessingService.createcall",)"
                     R"("params":["1234567890123","pbx:200","pbx:100"])");
    CloseCallMethod closeCall;
    closeCall.SetParams(42);
    Emit(closeCall, R"("method":"Services.CallProcessingService.closecall","params":["42"])");
    TransferCallMethod transfer;
    transfer.SetParams(42, Address("tel:555"));
    Emit(transfer,
         R"("method":"Services.CallProcessingService.transfercall","params":["42","tel:555"])");
    JoinCallsMethod join;
    join.SetParams(42, 43);
    Emit(join, R"("method":"Services.CallProcessingService.joincalls","params":["42","43"])");
    UnjoinCallsMethod unjoin;
    unjoin.SetParams(42, 43);
    Emit(unjoin, R"("method":"Services.CallProcessingService.unjoincalls","params":["42","43"])");
    CallStateChangedMethod state;
    state.SetParams(42, 3);
    Emit(state, R"("method":"Services.CallProcessingService.callstatechanged","params":["42",3])");
    PlayMessageMethod play;
    play.SetParams(42, "hello.wav", -1);
    Emit(play, R"("method":"Services.CallProcessingService.playmessage",)"
               R"("params":["42","hello.wav",-1])");
    MessagePlayedMethod played;
    played.SetParams(42);
    Emit(played, R"("method":"Services.CallProcessingService.messageplayed","params":["42"])");
    EnableDtmfDetectionMethod dtmf;
    dtmf.SetParams(42, 1);
    Emit(dtmf, R"("method":"Services.CallProcessingService.enabledtmfdetection",)"
               R"("params":["42",true])");
    DtmfDigitReceivedMethod digit;
    digit.SetParams(42, '#');
    Emit(digit,
         R"("method":"Services.CallProcessingService.dtmfdigitdetected","params":["42",35])");
    IncomingCallHandlingMethod handling;
    handling.SetParams("100", 1);
    Emit(handling, R"("method":"Services.CallProcessingService.incomingcallhandling",)"
                   R"("params":["100",true])");
    CallArrivedMethod offer;
    offer.SetParams(42, Address("sip:1@h"), Address("pbx:2"), 17);
    Emit(offer, R"("method":"Services.CallProcessingService.process","params":[)"
                R"({"From":"sip:1@h","To":"tel:2","Contact":"sip:1@h","OrigCallID":"17"},"42"])");
    AuthenticateMethod auth;
    auth.SetParams("user", "secret");
    Emit(auth,
         R"("method":"Services.CallProcessingService.authenticate","params":["user","secret"])");
    SubscribeMethod subscribe;
    subscribe.SetParams(77, "100");
    Emit(subscribe, R"("method":"Services.CallProcessingService.subscribe",)"
                    R"("params":["77",1,{"extension":"100"}])");
    UnsubscribeMethod unsubscribe;
    unsubscribe.SetParams(77);
    Emit(unsubscribe, R"("method":"Services.CallProcessingService.unsubscribe","params":["77"])");
    MailArrivedMethod mail;
    mail.SetParams(5, Address("sip:alice@host"), 1146747721, 12, 7);
    Emit(mail, R"("method":"Services.CallProcessingService.mailarrived","params":["5",)"
               R"({"From":"sip:alice@host","Time":{"dateTime":"2006-05-04 13:02:01"},)"
               R"("Duration":12,"MailID":7}])");

    XmlRpcResponseMethod ack(kCallStateChanged);
    ack.SetId(42);
    Emit(ack, R"("method":null,"params":["42"])");
    AuthenticateResponseMethod authAnswer;
    authAnswer.SetParams(true, "welcome");
    Emit(authAnswer, R"("method":null,"params":[true,"welcome"])");
    SubscribeResponseMethod subscribeAnswer;
    subscribeAnswer.SetParams(77, true, 0);
    Emit(subscribeAnswer, R"("method":null,"params":["77",true,0])");
    CallArrivedResponseMethod accept;
    accept.BuildAccept(42, "100", "Desk");
    Emit(accept, R"("method":null,"params":[)"
                 R"({"action":"accept","callerid":"100","displayname":"Desk"},"42"])");
    CallArrivedResponseMethod redirect;
    redirect.BuildRedirect(42, {Address("Pbx:200")}, "", "");
    Emit(redirect, R"("method":null,"params":[{"action":"redirect","target":["pbx:200"]},"42"])");
    CallArrivedResponseMethod decline;
    decline.BuildDecline(42, "busy");
    Emit(decline, R"("method":null,"params":[{"action":"decline","reason":["busy"]},"42"])");
    FaultResponseMethod fault(kCloseCall);
    fault.SetParams(4, "T");
    Emit(fault, R"("fault":{"faultCode":4,"faultString":"T"})");
}

void Print(XmlRpcMethod& message) {
    RecordingClient client;
    message.Dispatch(client);
    for (const std::string& call : client.calls)
        std::cout << call << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write") {
        WriteAll();
        return 0;
    }
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (mode == "read-request") {
        auto request = ParseRequest(text);
        if (!request) {
            std::cout << "unread\n";
            return 0;
        }
        std::cout << "type " << request->methodType << " id " << request->GetId() << "\n";
        Print(*request);
        return 0;
    }
    if (mode == "read-response" && argc > 2) {
        auto request = CreateRequest(MethodName(static_cast<uint32_t>(std::atoi(argv[2]))));
        auto answer = request ? request->ParseResponse(text) : nullptr;
        if (!answer) {
            std::cout << "unread\n";
            return 0;
        }
        bool fault = dynamic_cast<FaultResponseMethod*>(answer.get()) != nullptr;
        std::cout << (fault ? "fault" : "answer") << " id " << answer->GetId() << "\n";
        Print(*answer);
        return 0;
    }
    std::fprintf(stderr, "usage: protocol_interop write | read-request | read-response TYPE\n");
    return 2;
}
