// The simulator over loopback connections: authentication, answers in order, notifications, offers
// answered among acknowledgements, the console's commands, and peers that misbehave.
#include "pbx/pbx_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pbx_test_client.h"
#include "protocol/authenticate.h"
#include "protocol/call_control.h"
#include "protocol/call_notifications.h"
#include "protocol/call_offer.h"
#include "protocol/mail_arrived.h"
#include "protocol/subscription.h"

namespace voxtrel::pbx {
namespace {

using std::chrono::milliseconds;
using testing::Address;
using testing::kQuietWait;
using testing::PbxTestClient;
using testing::Reply;

class PbxSimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.timings.ring = milliseconds(20);
        options.timings.answer = milliseconds(40);
        options.timings.transfer = milliseconds(30);
        options.timings.play = milliseconds(30);
    }

    void Start() {
        std::string error;
        ASSERT_TRUE(simulator.Start(options, &error)) << error;
    }

    std::unique_ptr<PbxTestClient> Connect() {
        auto client = std::make_unique<PbxTestClient>();
        EXPECT_TRUE(client->Connect(simulator.Port()));
        return client;
    }

    std::unique_ptr<PbxTestClient> Authenticated() {
        auto client = Connect();
        EXPECT_TRUE(client->Authenticate("demo", "demo"));
        return client;
    }

    std::string Command(const std::string& line) {
        std::string reply;
        simulator.Command(line, reply);
        return reply;
    }

    PbxOptions options;
    PbxSimulator simulator;
};

template <typename Request, typename... Args>
std::unique_ptr<Request> Make(Args&&... args) {
    auto request = std::make_unique<Request>();
    EXPECT_TRUE(request->SetParams(std::forward<Args>(args)...));
    return request;
}

std::unique_ptr<CreateCallMethod> CreateCall(uint64_t id, const std::string& to) {
    return Make<CreateCallMethod>(id, "pbx:200", Address(to));
}

// A plain answer with the id.
::testing::AssertionResult Plain(const Reply& reply, uint64_t id) {
    if (!reply.received) return ::testing::AssertionFailure() << "no answer";
    if (reply.fault) {
        return ::testing::AssertionFailure()
               << "fault " << reply.faultCode << " " << reply.faultText;
    }
    if (reply.id != id) return ::testing::AssertionFailure() << "id " << reply.id;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Fault(const Reply& reply, int32_t code) {
    if (!reply.received) return ::testing::AssertionFailure() << "no answer";
    if (!reply.fault) return ::testing::AssertionFailure() << "plain answer " << reply.id;
    if (reply.faultCode != code) {
        return ::testing::AssertionFailure()
               << "fault " << reply.faultCode << " " << reply.faultText;
    }
    return ::testing::AssertionSuccess();
}

// The call's notifications until it reaches the state.
void WaitForState(PbxTestClient& client, uint64_t callId, int32_t state) {
    std::string expected =
        "callstatechanged " + std::to_string(callId) + " " + std::to_string(state);
    for (int i = 0; i < 10; ++i) {
        std::string notice = client.NextNotice();
        if (notice == expected) return;
        ASSERT_NE(notice, "nothing") << "waiting for " << expected;
    }
    FAIL() << "no " << expected;
}

TEST_F(PbxSimulatorTest, AuthenticationAcceptsItsUsersAndRefusesTheRest) {
    options.users = {{"alice", "secret"}, {"bob", "pass:with:colons"}};
    Start();
    auto alice = Connect();
    auto request = Make<AuthenticateMethod>("alice", "secret");
    Reply reply = alice->Call(*request);
    auto* answer = dynamic_cast<AuthenticateResponseMethod*>(reply.answer.get());
    ASSERT_NE(answer, nullptr);
    EXPECT_TRUE(answer->success->value);
    EXPECT_FALSE(answer->statusText->value.empty());

    // The default user is gone once users are named; a refusal leaves room for another try.
    auto bob = Connect();
    EXPECT_FALSE(bob->Authenticate("demo", "demo"));
    EXPECT_FALSE(bob->Authenticate("bob", "pass"));
    EXPECT_TRUE(bob->Authenticate("bob", "pass:with:colons"));
    EXPECT_EQ(Command("status"), "connections 2 authenticated 2 calls 0 unacknowledged 0");
}

TEST_F(PbxSimulatorTest, RequestsBeforeAuthenticationAreRefusedWithAFault) {
    Start();
    auto client = Connect();
    EXPECT_TRUE(Fault(client->Call(*CreateCall(5, "pbx:100")), kFaultNotAuthenticated));
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(5)), kFaultNotAuthenticated));
    EXPECT_FALSE(client->Authenticate("demo", "wrong"));
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(5)), kFaultNotAuthenticated));
    EXPECT_TRUE(client->Authenticate("demo", "demo"));
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(5)), kFaultUnknownCall));
    EXPECT_EQ(client->NextNotice(kQuietWait), "nothing");
}

TEST_F(PbxSimulatorTest, EveryRequestIsAnsweredInItsTurnWithItsId) {
    // Slow enough that the call stays dialing while its requests are handled.
    options.timings.ring = std::chrono::seconds(60);
    Start();
    auto client = Authenticated();
    std::vector<std::unique_ptr<XmlRpcRequestMethod>> requests;
    requests.push_back(CreateCall(11, "pbx:100"));
    requests.push_back(Make<EnableDtmfDetectionMethod>(11, 1));
    requests.push_back(Make<IncomingCallHandlingMethod>("100", 1));
    requests.push_back(Make<SubscribeMethod>(77, "100"));
    requests.push_back(Make<UnsubscribeMethod>(77));
    requests.push_back(Make<UnsubscribeMethod>(77));
    requests.push_back(Make<JoinCallsMethod>(11, 12));
    requests.push_back(Make<UnjoinCallsMethod>(11, 11));
    requests.push_back(Make<TransferCallMethod>(11, Address("pbx:300")));
    requests.push_back(Make<PlayMessageMethod>(11, "welcome.wav", 2));
    requests.push_back(Make<CloseCallMethod>(11));
    requests.push_back(Make<CloseCallMethod>(11));
    std::string all;
    for (const auto& request : requests)
        ASSERT_TRUE(request->Write(all));
    ASSERT_TRUE(client->SendText(all));

    EXPECT_TRUE(Plain(client->ReadReply(*requests[0]), 11));
    EXPECT_TRUE(Plain(client->ReadReply(*requests[1]), 11));
    EXPECT_TRUE(Plain(client->ReadReply(*requests[2]), 0));
    Reply subscribed = client->ReadReply(*requests[3]);
    auto* confirmation = dynamic_cast<SubscribeResponseMethod*>(subscribed.answer.get());
    ASSERT_NE(confirmation, nullptr);
    EXPECT_EQ(confirmation->GetId(), 77u);
    EXPECT_TRUE(confirmation->confirmed->value);
    EXPECT_EQ(confirmation->errorCode->value, 0);
    EXPECT_TRUE(Plain(client->ReadReply(*requests[4]), 77));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[5]), kFaultUnknownSubscription));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[6]), kFaultUnknownCall));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[7]), kFaultNotJoined));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[8]), kFaultWrongState));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[9]), kFaultWrongState));
    EXPECT_TRUE(Plain(client->ReadReply(*requests[10]), 11));
    EXPECT_TRUE(Fault(client->ReadReply(*requests[11]), kFaultUnknownCall));

    EXPECT_EQ(client->NextNotice(), "callstatechanged 11 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 11 6");
    EXPECT_EQ(client->NextNotice(kQuietWait), "nothing");
    // A call's first notification follows the answer that created it.
    const auto& seen = client->transcript;
    auto dialing = std::find(seen.begin(), seen.end(), "callstatechanged 11 1");
    ASSERT_NE(dialing, seen.end());
    EXPECT_NE(std::find(seen.begin(), dialing, "answer"), dialing);
}

TEST_F(PbxSimulatorTest, RequestsThatDoNotFitTheServiceGetFaults) {
    Start();
    auto client = Authenticated();
    // A target that is no party address.
    auto create = std::make_unique<CreateCallMethod>();
    SetIdText(create->idParam, 5);
    SetString(create->from, "pbx:1");
    SetString(create->to, "nowhere");
    EXPECT_TRUE(Fault(client->Call(*create), kFaultInvalidAddress));
    // Something only the service sends.
    EXPECT_TRUE(Fault(client->Call(*Make<CallStateChangedMethod>(5, 3)), kFaultUnknownMethod));
    // An unknown method, and params that do not read, are still answered in their turn.
    ASSERT_TRUE(client->SendText(
        "<?xml version=\"1.0\"?>\r\n<methodCall>\r\n<methodName>Services.CallProcessingService."
        "hold</methodName>\r\n<params>\r\n</params>\r\n</methodCall>\r\n\r\n"
        "<methodCall><methodName>Services.CallProcessingService.closecall</methodName><params>"
        "<param><value><int>5</int></value></param></params></methodCall>\r\n\r\n"));
    auto close = Make<CloseCallMethod>(5);
    EXPECT_TRUE(Fault(client->ReadReply(*close), kFaultUnknownMethod));
    EXPECT_TRUE(Fault(client->ReadReply(*close), kFaultUnknownMethod));
    // The service keeps nothing long on a peer's behalf.
    auto longName = Make<IncomingCallHandlingMethod>(std::string(300, '1'), 1);
    EXPECT_TRUE(Fault(client->Call(*longName), kFaultLimit));
    // Only voice mail with an extension is confirmed.
    auto other = Make<SubscribeMethod>(9, "100");
    other->subscriptionType->value = 2;
    Reply refused = client->Call(*other);
    auto* answer = dynamic_cast<SubscribeResponseMethod*>(refused.answer.get());
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->GetId(), 9u);
    EXPECT_FALSE(answer->confirmed->value);
    EXPECT_EQ(answer->errorCode->value, 1);
    EXPECT_TRUE(client->Sync());
}

TEST_F(PbxSimulatorTest, CreatedCallsProgressAndEndInAFinalState) {
    Start();
    auto client = Authenticated();
    EXPECT_TRUE(Plain(client->Call(*CreateCall(21, "pbx:100")), 21));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 21 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 21 2");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 21 3");
    ASSERT_TRUE(client->Sync());
    EXPECT_EQ(Command("status 21"), "call 21 state 3 connection 1 offered 0 joined 0 dtmf off");
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 1 unacknowledged 0");

    EXPECT_TRUE(Plain(client->Call(*CreateCall(22, "pbx:busy")), 22));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 22 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 22 7");
    EXPECT_TRUE(Plain(client->Call(*CreateCall(23, "sip:unreachable@pbx.example")), 23));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 23 1");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 23 8");
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(22)), kFaultUnknownCall));

    EXPECT_TRUE(Plain(client->Call(*Make<CloseCallMethod>(21)), 21));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 21 6");
    EXPECT_EQ(Command("status 21"), "error: unknown call 21");
}

TEST_F(PbxSimulatorTest, TransfersJoinsMessagesAndDigitsFollowTheModel) {
    Start();
    auto client = Authenticated();
    for (uint64_t id : {31, 32, 33}) {
        EXPECT_TRUE(Plain(client->Call(*CreateCall(id, "pbx:100")), id));
        WaitForState(*client, id, kStateConnected);
    }
    EXPECT_TRUE(Plain(client->Call(*Make<PlayMessageMethod>(31, "hello.wav", 2)), 31));
    EXPECT_EQ(client->NextNotice(), "messageplayed 31");

    EXPECT_TRUE(Plain(client->Call(*Make<JoinCallsMethod>(31, 32)), 31));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 5");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 32 5");
    EXPECT_TRUE(Fault(client->Call(*Make<JoinCallsMethod>(33, 32)), kFaultWrongState));

    EXPECT_EQ(Command("dtmf 31 12"), "error: DTMF detection is off");
    EXPECT_TRUE(Plain(client->Call(*Make<EnableDtmfDetectionMethod>(31, 1)), 31));
    EXPECT_EQ(Command("dtmf 31 1#"), "ok");
    EXPECT_EQ(client->NextNotice(), "dtmfdigitdetected 31 1");
    EXPECT_EQ(client->NextNotice(), "dtmfdigitdetected 31 #");

    EXPECT_TRUE(Plain(client->Call(*Make<UnjoinCallsMethod>(32, 31)), 32));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 32 3");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 3");
    EXPECT_TRUE(Fault(client->Call(*Make<UnjoinCallsMethod>(32, 31)), kFaultNotJoined));

    EXPECT_TRUE(Plain(client->Call(*Make<TransferCallMethod>(31, Address("pbx:busy"))), 31));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 4");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 3");
    EXPECT_TRUE(Plain(client->Call(*Make<TransferCallMethod>(31, Address("pbx:300"))), 31));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 4");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 31 6");

    EXPECT_TRUE(Plain(client->Call(*Make<JoinCallsMethod>(32, 33)), 32));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 32 5");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 33 5");
    EXPECT_TRUE(Plain(client->Call(*Make<CloseCallMethod>(32)), 32));
    EXPECT_EQ(client->NextNotice(), "callstatechanged 32 6");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 33 3");

    EXPECT_EQ(Command("state 33 6"), "ok");
    EXPECT_EQ(client->NextNotice(), "callstatechanged 33 6");
    EXPECT_EQ(Command("state 33 3"), "error: Unknown call");
    EXPECT_EQ(client->NextNotice(kQuietWait), "nothing");
}

TEST_F(PbxSimulatorTest, OfferAnswersAreMatchedByContentAmongAcknowledgements) {
    Start();
    auto first = Authenticated();
    auto second = Authenticated();
    auto third = Authenticated();
    for (auto* client : {first.get(), second.get()}) {
        EXPECT_TRUE(Plain(client->Call(*Make<IncomingCallHandlingMethod>("100", 1)), 0));
    }
    EXPECT_TRUE(Plain(third->Call(*Make<IncomingCallHandlingMethod>("200", 1)), 0));
    EXPECT_EQ(Command("offer 300 pbx:555"), "error: No connection has taken over extension 300");

    std::string id = Command("offer 100 pbx:555 42");
    ASSERT_FALSE(id.empty());
    ASSERT_NE(id.front(), 'e') << id;
    for (auto* client : {first.get(), second.get()}) {
        auto request = client->NextRequest();
        auto* offer = dynamic_cast<CallArrivedMethod*>(request.get());
        ASSERT_NE(offer, nullptr);
        EXPECT_EQ(FormatId(offer->GetId()), id);
        auto* from = GetMemberAs<XmlRpcValueString>(*offer->dataParam, "From", kXmlRpcString);
        auto* to = GetMemberAs<XmlRpcValueString>(*offer->dataParam, "To", kXmlRpcString);
        auto* origin =
            GetMemberAs<XmlRpcValueString>(*offer->dataParam, "OrigCallID", kXmlRpcString);
        ASSERT_TRUE(from && to && origin);
        EXPECT_EQ(from->value, "tel:555");
        EXPECT_EQ(to->value, "tel:100");
        EXPECT_EQ(origin->value, "42");
    }

    // While the offer waits, notifications about another call come and are acknowledged first.
    first->autoAcknowledge = false;
    auto create = CreateCall(61, "pbx:noanswer");
    EXPECT_TRUE(Plain(first->Call(*create), 61));
    std::vector<std::unique_ptr<XmlRpcRequestMethod>> notices;
    notices.push_back(first->NextRequest());
    notices.push_back(first->NextRequest());
    ASSERT_TRUE(notices[0] && notices[1]);
    EXPECT_EQ(testing::Describe(*notices[1]), "callstatechanged 61 2");
    for (const auto& notice : notices)
        ASSERT_TRUE(first->Acknowledge(*notice));
    CallArrivedResponseMethod accept;
    accept.BuildAccept(std::stoull(id), "100", "Desk");
    ASSERT_TRUE(first->Send(accept));
    auto connected = first->NextRequest();
    ASSERT_NE(connected, nullptr);
    EXPECT_EQ(testing::Describe(*connected), "callstatechanged " + id + " 3");
    ASSERT_TRUE(first->Acknowledge(*connected));
    // The late accept of the second connection finds the call taken.
    CallArrivedResponseMethod late;
    late.BuildAccept(std::stoull(id), "", "");
    ASSERT_TRUE(second->Send(late));
    ASSERT_TRUE(second->Sync());
    ASSERT_TRUE(first->Sync());
    EXPECT_EQ(Command("status " + id),
              "call " + id + " state 3 connection 1 offered 0 joined 0 dtmf off");
    EXPECT_EQ(Command("status"), "connections 3 authenticated 3 calls 2 unacknowledged 0");
    EXPECT_EQ(second->NextNotice(kQuietWait), "nothing");

    // A decline leaves the call to the other connection; the last decline ends it.
    std::string declined = Command("offer 100 sip:555@pbx.example");
    for (auto* client : {first.get(), second.get()}) {
        EXPECT_EQ(client->NextNotice(), "process " + declined);
        CallArrivedResponseMethod decline;
        decline.BuildDecline(std::stoull(declined), "busy here");
        ASSERT_TRUE(client->Send(decline));
        ASSERT_TRUE(client->Sync());
        if (client == first.get()) {
            EXPECT_EQ(Command("status " + declined),
                      "call " + declined + " state 2 connection 0 offered 1 joined 0 dtmf off");
        }
    }
    EXPECT_EQ(Command("status " + declined), "error: unknown call " + declined);

    // A redirect moves the offer to the target's handlers, or out of the service.
    std::string redirected = Command("offer 100 pbx:555");
    EXPECT_EQ(first->NextNotice(), "process " + redirected);
    EXPECT_EQ(second->NextNotice(), "process " + redirected);
    CallArrivedResponseMethod redirect;
    redirect.BuildRedirect(std::stoull(redirected), {Address("pbx:200")}, "", "");
    ASSERT_TRUE(second->Send(redirect));
    EXPECT_EQ(third->NextNotice(), "process " + redirected);
    CallArrivedResponseMethod away;
    away.BuildRedirect(std::stoull(redirected), {Address("pstn:5551234")}, "", "");
    ASSERT_TRUE(third->Send(away));
    ASSERT_TRUE(third->Sync());
    EXPECT_EQ(Command("status " + redirected), "error: unknown call " + redirected);
}

TEST_F(PbxSimulatorTest, FaultAndMuteChangeTheNextAnswers) {
    Start();
    auto client = Authenticated();
    EXPECT_EQ(Command("fault createcall 42 Out of order today"), "ok");
    EXPECT_EQ(Command("fault Services.CallProcessingService.SUBSCRIBE 7"), "ok");
    EXPECT_EQ(Command("fault hold 1 x"), "error: unknown method hold");
    EXPECT_EQ(Command("fault createcall x"), "error: usage: fault METHOD CODE TEXT");

    Reply refused = client->Call(*CreateCall(71, "pbx:100"));
    EXPECT_TRUE(Fault(refused, 42));
    EXPECT_EQ(refused.faultText, "Out of order today");
    // The refused call was never made; the next request of the method is served again.
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(71)), kFaultUnknownCall));
    EXPECT_TRUE(Plain(client->Call(*CreateCall(72, "pbx:100")), 72));
    Reply noText = client->Call(*Make<SubscribeMethod>(5, "100"));
    EXPECT_TRUE(Fault(noText, 7));
    EXPECT_EQ(noText.faultText, "");

    EXPECT_EQ(Command("mute closecall"), "ok");
    EXPECT_EQ(Command("fault closecall 9 later"), "ok");
    auto muted = Make<CloseCallMethod>(72);
    auto next = Make<IncomingCallHandlingMethod>("100", 1);
    ASSERT_TRUE(client->Send(*muted));
    EXPECT_TRUE(Plain(client->Call(*next), 0));
    EXPECT_EQ(Command("unmute closecall"), "ok");
    // The muted request had no effect; the queued fault waited for the method to answer again.
    EXPECT_TRUE(Fault(client->Call(*Make<CloseCallMethod>(72)), 9));
    EXPECT_TRUE(Plain(client->Call(*Make<CloseCallMethod>(72)), 72));

    EXPECT_EQ(Command("fault authenticate 3 maintenance"), "ok");
    auto other = Connect();
    EXPECT_TRUE(Fault(other->Call(*Make<AuthenticateMethod>("demo", "demo")), 3));
    EXPECT_TRUE(other->Authenticate("demo", "demo"));
}

TEST_F(PbxSimulatorTest, VoiceMailNoticesReachTheSubscribers) {
    Start();
    auto client = Authenticated();
    auto bystander = Authenticated();
    Reply reply = client->Call(*Make<SubscribeMethod>(88, "100"));
    ASSERT_TRUE(reply.received && !reply.fault);
    EXPECT_EQ(Command("mail 88 pbx:300 35 12"), "ok");
    auto request = client->NextRequest();
    auto* notice = dynamic_cast<MailArrivedMethod*>(request.get());
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->GetId(), 88u);
    const XmlRpcValueStruct& data = *notice->dataParam;
    EXPECT_EQ(GetMemberAs<XmlRpcValueString>(data, "From", kXmlRpcString)->value, "pbx:300");
    EXPECT_EQ(GetMemberAs<XmlRpcValueInt>(data, "Duration", kXmlRpcInt)->value, 35);
    EXPECT_EQ(GetMemberAs<XmlRpcValueInt>(data, "MailID", kXmlRpcInt)->value, 12);
    auto* time = GetMemberAs<XmlRpcValueString>(data, "Time", kXmlRpcDateTime);
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(time->value.size(), 19u);
    EXPECT_EQ(bystander->NextNotice(kQuietWait), "nothing");

    EXPECT_EQ(Command("mail 89 pbx:300 35 12"), "error: unknown subscription 89");
    EXPECT_EQ(Command("mail 88 nobody 35 12"), "error: nobody is not a party address");
    EXPECT_TRUE(Plain(client->Call(*Make<UnsubscribeMethod>(88)), 88));
    EXPECT_EQ(Command("mail 88 pbx:300 35 12"), "error: unknown subscription 88");
}

TEST_F(PbxSimulatorTest, CloseEndsEveryConnectionAndTheServiceListensOn) {
    Start();
    auto first = Authenticated();
    auto second = Authenticated();
    auto waiting = Connect();
    ASSERT_TRUE(first->Sync());
    EXPECT_EQ(Command("close"), "ok 3 closed");
    EXPECT_TRUE(first->WaitClosed());
    EXPECT_TRUE(second->WaitClosed());
    EXPECT_TRUE(waiting->WaitClosed());
    auto later = Authenticated();
    EXPECT_TRUE(later->Sync());
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 0 unacknowledged 0");
}

TEST_F(PbxSimulatorTest, ManyConnectionsAuthenticateOnTheirOwn) {
    Start();
    constexpr int kClients = 40;
    std::vector<std::unique_ptr<PbxTestClient>> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(Connect());
    for (int i = 0; i < kClients; ++i) {
        auto request = Make<AuthenticateMethod>("demo", i % 2 == 0 ? "demo" : "wrong");
        auto create = CreateCall(1000 + static_cast<uint64_t>(i), "pbx:noanswer");
        std::string text;
        ASSERT_TRUE(request->Write(text) && create->Write(text));
        ASSERT_TRUE(clients[static_cast<size_t>(i)]->SendText(text));
    }
    for (int i = 0; i < kClients; ++i) {
        PbxTestClient& client = *clients[static_cast<size_t>(i)];
        auto request = Make<AuthenticateMethod>("demo", "demo");
        Reply reply = client.ReadReply(*request);
        auto* answer = dynamic_cast<AuthenticateResponseMethod*>(reply.answer.get());
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer->success->value, i % 2 == 0);
        Reply created = client.ReadReply(*CreateCall(0, "pbx:1"));
        if (i % 2 == 0) {
            EXPECT_TRUE(Plain(created, 1000 + static_cast<uint64_t>(i)));
        } else {
            EXPECT_TRUE(Fault(created, kFaultNotAuthenticated));
        }
    }
    EXPECT_EQ(Command("status").rfind("connections 40 authenticated 20 calls 20 ", 0), 0u);
}

TEST_F(PbxSimulatorTest, ConnectionsBeyondTheLimitAreClosed) {
    options.maxConnections = 2;
    Start();
    auto first = Authenticated();
    auto second = Authenticated();
    auto third = Connect();
    EXPECT_TRUE(third->WaitClosed());
    EXPECT_TRUE(first->Sync());
    first->Disconnect();
    ASSERT_TRUE(second->Sync());
    for (int i = 0; i < 100 && Command("status").rfind("connections 1 ", 0) != 0; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    auto fourth = Authenticated();
    EXPECT_TRUE(fourth->Sync());
}

TEST_F(PbxSimulatorTest, PeersThatBreakTheProtocolLoseOnlyTheirConnection) {
    options.maxMessageBytes = 64 * 1024;
    Start();
    auto good = Authenticated();
    EXPECT_TRUE(Plain(good->Call(*CreateCall(81, "pbx:100")), 81));

    auto garbage = Authenticated();
    ASSERT_TRUE(garbage->SendText("hello there\r\n\r\n"));
    EXPECT_TRUE(garbage->WaitClosed());

    auto flood = Connect();
    std::string bytes(16 * 1024, '<');
    for (int i = 0; i < 8; ++i)
        flood->SendText(bytes);
    EXPECT_TRUE(flood->WaitClosed());

    // Blank messages, answers that match nothing and answers that do not read are dropped.
    auto sloppy = Authenticated();
    ASSERT_TRUE(sloppy->SendText("\r\n\r\n  \r\n\r\n"));
    XmlRpcResponseMethod stray(kCallStateChanged);
    stray.SetId(999);
    ASSERT_TRUE(sloppy->Send(stray));
    ASSERT_TRUE(sloppy->SendText("<methodResponse><params></params></methodResponse>\r\n\r\n"));
    CallArrivedResponseMethod unknownOffer;
    unknownOffer.BuildAccept(999, "", "");
    ASSERT_TRUE(sloppy->Send(unknownOffer));
    EXPECT_TRUE(sloppy->Sync());

    WaitForState(*good, 81, kStateConnected);
    EXPECT_TRUE(good->Sync());
    EXPECT_EQ(Command("status"), "connections 2 authenticated 2 calls 1 unacknowledged 0");
}

TEST_F(PbxSimulatorTest, AReaderThatFallsBehindIsDroppedWithoutStallingOthers) {
    options.maxOutputBytes = 64 * 1024;
    Start();
    auto slow = Authenticated();
    EXPECT_TRUE(Plain(slow->Call(*CreateCall(91, "pbx:100")), 91));
    EXPECT_TRUE(Plain(slow->Call(*Make<EnableDtmfDetectionMethod>(91, 1)), 91));
    WaitForState(*slow, 91, kStateConnected);
    auto other = Authenticated();
    // The slow client reads no more; the digits pile up until its connection goes.
    std::string digits(1000, '5');
    bool dropped = false;
    for (int i = 0; i < 400 && !dropped; ++i) {
        dropped = Command("dtmf 91 " + digits) != "ok";
        ASSERT_TRUE(other->Sync());
    }
    EXPECT_TRUE(dropped);
    EXPECT_EQ(Command("status"), "connections 1 authenticated 1 calls 0 unacknowledged 0");
    EXPECT_TRUE(slow->WaitClosed());
}

TEST_F(PbxSimulatorTest, AConnectionsCallsEndWithIt) {
    Start();
    auto owner = Authenticated();
    auto handler = Authenticated();
    EXPECT_TRUE(Plain(handler->Call(*Make<IncomingCallHandlingMethod>("100", 1)), 0));
    EXPECT_TRUE(Plain(owner->Call(*CreateCall(95, "pbx:noanswer")), 95));
    std::string offered = Command("offer 100 pbx:555");
    EXPECT_EQ(handler->NextNotice(), "process " + offered);
    owner->Disconnect();
    handler->Disconnect();
    for (int i = 0; i < 100 && Command("status") !=
                                   "connections 0 authenticated 0 calls 0 "
                                   "unacknowledged 0";
         ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(Command("status"), "connections 0 authenticated 0 calls 0 unacknowledged 0");
}

TEST_F(PbxSimulatorTest, StartsStopsAndStartsAgain) {
    std::string reply;
    EXPECT_FALSE(simulator.Command("status", reply));
    EXPECT_EQ(reply, "error: the simulator is not running");
    options.host = "no-such-host.invalid";
    std::string error;
    EXPECT_FALSE(simulator.Start(options, &error));
    EXPECT_EQ(error, "cannot resolve no-such-host.invalid");

    options.host = "127.0.0.1";
    Start();
    EXPECT_EQ(simulator.Host(), "127.0.0.1");
    EXPECT_NE(simulator.Port(), 0);
    EXPECT_FALSE(simulator.Start(options, &error));
    auto client = Authenticated();
    EXPECT_TRUE(simulator.Command("help", reply));
    EXPECT_FALSE(simulator.Command("launch", reply));
    EXPECT_EQ(reply, "error: unknown command launch (try help)");
    simulator.Stop();
    EXPECT_FALSE(simulator.Running());
    EXPECT_TRUE(client->WaitClosed());

    Start();
    auto again = Authenticated();
    EXPECT_TRUE(again->Sync());
}

}  // namespace
}  // namespace voxtrel::pbx
