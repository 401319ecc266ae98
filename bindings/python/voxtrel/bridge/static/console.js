// The console page's behaviour: one bridge connection whose control's events are shown as they
// arrive, and forms and buttons that call the control's methods.
import { Voxtrel } from "./voxtrel.js";

// The call states of the simulator's call model (voxtrel pbx --help); a service may send
// others, which show as their number alone.
const STATE_NAMES = new Map([
  [1, "dialing"],
  [2, "ringing"],
  [3, "connected"],
  [4, "transferring"],
  [5, "joined"],
  [6, "disconnected"],
  [7, "busy"],
  [8, "failed"],
]);
const FINAL_STATES = new Set([6, 7, 8]);

const $ = (selector) => document.querySelector(selector);
const token = new URLSearchParams(location.hash.slice(1)).get("token");
const endpoint = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/rpc`;

let vx = null; // the open bridge connection, or null
let opening = null; // the Voxtrel.open under way
const calls = new Map(); // call id -> { from, to, state, ended, failed, dtmf, digits, played, row }
const offers = new Map(); // call id -> { caller, callee, element }
const subscriptions = new Map(); // subscription id -> { extension, status, element }
const extensions = new Set(); // taken over by this page's requests
let pbxConnected = false;
const requested = new Map(); // id made by CreateCall or SubscribeToVoiceMail -> the request

// ---- showing things

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "class") node.className = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function clock() {
  return new Date().toLocaleTimeString([], { hour12: false });
}

function show(value) {
  return typeof value === "string" ? JSON.stringify(value) : String(value);
}

function log(kind, text) {
  const list = $("#log");
  list.prepend(element("li", { class: kind }, element("time", {}, clock()), text));
  // The log is for watching, not for keeping: the oldest lines go.
  while (list.children.length > 500) list.lastElementChild.remove();
}

function failure(what, why) {
  $("#failures").prepend(
    element("li", {}, element("time", {}, clock()), element("strong", {}, what), " ", why),
  );
  $("#no-failures").hidden = true;
  log("failure", `${what} ${why}`);
}

function setStatus(which, level, text) {
  const pill = $(which === "bridge" ? "#bridge-status" : "#pbx-status");
  pill.dataset.level = level;
  pill.textContent = `${which === "bridge" ? "bridge" : "PBX"}: ${text}`;
}

function stateText(state) {
  const name = STATE_NAMES.get(state);
  return name === undefined ? String(state) : `${state} ${name}`;
}

// ---- the bridge connection

async function bridge() {
  if (vx !== null) return vx;
  const key = token ?? $("#connect-form").elements.token.value.trim();
  opening ??= Voxtrel.open(endpoint, key)
    .then((connection) => {
      vx = connection;
      listen(connection);
      setStatus("bridge", "good", "connected");
      log("info", `bridge connection open (${endpoint})`);
      return connection;
    })
    .catch((error) => {
      setStatus("bridge", "bad", "refused");
      failure("Opening the bridge connection:", `${error.message}. Is the token right?`);
      return null;
    })
    .finally(() => {
      opening = null;
    });
  return opening;
}

function listen(connection) {
  for (const [name, handler] of Object.entries(EVENT_HANDLERS)) {
    connection.on(name, (params) => {
      log("event", `${name} ${JSON.stringify(params)}`);
      handler(params);
    });
  }
  connection.closed.then(({ code }) => {
    vx = null;
    setStatus("bridge", "bad", `closed (${code})`);
    setStatus("pbx", "idle", "not connected");
    connectionGone("ended");
    log("info", `bridge connection closed (${code})`);
  });
}

// Calls one of the control's methods and reports what went wrong; the result, or undefined.
async function request(method, ...params) {
  // The password stays out of the log and the list of failures.
  const shown = method === "Connect" ? [...params.slice(0, 4), "\u2022\u2022\u2022"] : params;
  const text = `${method}(${shown.map(show).join(", ")})`;
  const connection = await bridge();
  if (connection === null) return undefined;
  try {
    const result = await connection[method](...params);
    log("request", `${text} \u2192 ${show(result)}`);
    if (method === "Connect" && result === false) {
      failure(`${text}:`, "not connected: the PBX refused or did not answer, or a connection "
        + "exists already.");
    } else if (result === false || result === "0") {
      failure(`${text}:`, `the control returned ${show(result)}: nothing was sent.`);
    }
    return result;
  } catch (error) {
    const code = error.code === undefined ? "" : `error ${error.code}: `;
    failure(`${text}:`, `${code}${error.message}`);
    return undefined;
  }
}

// ---- calls

function addCall(id, from, to) {
  const known = calls.get(id);
  if (known !== undefined) {
    // An event may have come before the answer that named the parties.
    if (from || to) Object.assign(known, { from, to });
    drawCall(id);
    return known;
  }
  const row = $("#call-row").content.firstElementChild.cloneNode(true);
  const call = {
    from, to, state: null, ended: false, failed: "", dtmf: false, digits: "", played: 0, row,
  };
  row.dataset.call = id;
  row.querySelector(".id").textContent = id;
  row.addEventListener("click", (event) => {
    const action = event.target.closest("button")?.dataset.action;
    if (action !== undefined) callAction(id, action);
  });
  calls.set(id, call);
  $("#calls tbody").prepend(row);
  drawCall(id);
  return call;
}

function drawCall(id) {
  const call = calls.get(id);
  const { row } = call;
  row.querySelector(".parties").textContent =
    call.from || call.to ? `${call.from || "?"} \u2192 ${call.to || "?"}` : "";
  const badge = element("span", { class: "badge" });
  if (call.state !== null) {
    badge.textContent = stateText(call.state);
    badge.dataset.state = call.state;
  } else {
    badge.textContent = call.failed ? "not placed" : "requested";
    badge.dataset.state = call.failed ? "failed" : "requested";
  }
  const notes = [];
  if (call.played) notes.push(element("small", {}, `message played \u00d7${call.played}`));
  if (call.failed) notes.push(element("small", { class: "failed" }, call.failed));
  row.querySelector(".state").replaceChildren(badge, ...notes);
  const toggle = row.querySelector('[data-action="dtmf"]');
  toggle.textContent = call.dtmf ? "on" : "off";
  toggle.classList.toggle("on", call.dtmf);
  row.querySelector(".digits").textContent = call.digits;
  row.classList.toggle("ended", call.ended);
  for (const button of row.querySelectorAll("button")) button.disabled = call.ended;
  $("#no-calls").hidden = calls.size > 0;
}

// The argument each action needs, asked for in a line under the call's row.
const ACTION_FORMS = {
  transfer: {
    label: "Transfer to",
    fields: () => [element("input", { name: "to", placeholder: "pbx:400", required: "" })],
    send: (id, form) => request("TransferCall", id, form.to.value.trim()),
  },
  join: {
    label: "Join with",
    fields: (id) => [otherCalls(id)],
    send: (id, form) => request("JoinCalls", id, form.other.value),
  },
  unjoin: {
    label: "Unjoin from",
    fields: (id) => [otherCalls(id)],
    send: (id, form) => request("UnjoinCalls", id, form.other.value),
  },
  play: {
    label: "Play",
    fields: () => [
      element("input", { name: "file", placeholder: "greeting.wav", required: "" }),
      element("input", { name: "count", type: "number", value: "1", class: "count" }),
    ],
    send: (id, form) =>
      request("PlayMessage", id, form.file.value.trim(), Number(form.count.value)),
  },
};

function otherCalls(id) {
  const select = element("select", { name: "other", required: "" });
  for (const [other, call] of calls) {
    if (other !== id && !call.ended) select.append(element("option", { value: other }, other));
  }
  return select;
}

function callAction(id, action) {
  const call = calls.get(id);
  if (action === "close") {
    request("CloseCall", id);
  } else if (action === "dtmf") {
    request("EnableDtmfDetection", id, !call.dtmf).then((result) => {
      if (result === true) {
        call.dtmf = !call.dtmf;
        drawCall(id);
      }
    });
  } else {
    openActionForm(id, action);
  }
}

function closeEditor(row) {
  if (row.nextElementSibling?.classList.contains("editor")) row.nextElementSibling.remove();
}

function openActionForm(id, action) {
  const { row } = calls.get(id);
  closeEditor(row);
  const chosen = ACTION_FORMS[action];
  const editor = element("tr", { class: "editor" });
  const form = element(
    "form",
    {},
    element("span", {}, `${chosen.label}:`),
    ...chosen.fields(id),
    element("button", { type: "submit" }, "Send"),
    element("button", { type: "button", class: "quiet", onclick: () => editor.remove() }, "Cancel"),
  );
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    chosen.send(id, form.elements);
    editor.remove();
  });
  editor.append(element("td", { colspan: "5" }, form));
  row.after(editor);
  form.querySelector("input, select")?.focus();
}

// ---- offered calls, extensions and voice mail

function drawExtensions() {
  const list = [...extensions].join(", ");
  // Lost ones come back by themselves when the bridge reconnects (Reconnected).
  $("#extensions").textContent = extensions.size === 0 ? "No extension taken over."
    : pbxConnected ? `Taken over: ${list}` : `Lost with the connection: ${list}`;
}

// What the control had: lost with the connection ("lost"), which reconnecting by itself takes
// over and subscribes again, or ended by the page's own Disconnect ("ended"), which forgets it.
function connectionGone(how) {
  pbxConnected = false;
  if (how === "ended") extensions.clear();
  drawExtensions();
  for (const { element: card } of offers.values()) card.remove();
  offers.clear();
  for (const [id, subscription] of subscriptions) {
    subscription.status = how;
    drawSubscription(id);
  }
}

// A connection of the page's own starts with nothing taken over or subscribed.
function connectionMade() {
  pbxConnected = true;
  extensions.clear();
  drawExtensions();
  for (const [id, subscription] of subscriptions) {
    if (subscription.status !== "lost" && subscription.status !== "ended") continue;
    subscription.element.remove();
    subscriptions.delete(id);
  }
}

function addOffer({ callID, caller, callee, origCallID }) {
  const answer = async (method, ...params) => {
    const result = await request(method, callID, ...params);
    if (result !== true) return;
    offers.get(callID)?.element.remove();
    offers.delete(callID);
    if (method === "AcceptCall") addCall(callID, caller, callee);
  };
  const button = (name, text, onclick, attributes = {}) =>
    element("button", { type: "button", name, onclick, ...attributes }, text);
  const forwardTo = element("input", { name: "callee", placeholder: "pbx:400" });
  const origin = origCallID !== "0" ? `, from call ${origCallID}` : "";
  const card = element(
    "li",
    { class: "offer", "data-call": callID },
    element("div", { class: "title" }, element("strong", {}, caller || "unknown caller"),
      ` \u2192 ${callee}`),
    element("div", { class: "hint" }, `call ${callID}${origin}`),
    element("div", { class: "buttons" },
      button("accept", "Accept", () => answer("AcceptCall", caller, "")),
      button("reject", "Reject", () => answer("RejectCall"), { class: "danger" })),
    element("div", { class: "buttons" }, forwardTo,
      button("forward", "Forward",
        () => answer("ForwardCall", forwardTo.value.trim(), caller, ""))),
  );
  offers.set(callID, { caller, callee, element: card });
  $("#offers").prepend(card);
}

function addSubscription(id, extension) {
  const card = element(
    "li",
    { class: "subscription", "data-subscription": id },
    element("div", { class: "title" },
      element("strong", {}, `Extension ${extension}`), element("span", { class: "badge" })),
    element("div", { class: "title" },
      element("span", { class: "hint id" }),
      element("button", { type: "button", class: "quiet" }, "Unsubscribe")),
    element("ul", { class: "notices" }),
  );
  // The id changes when the bridge subscribes again after reconnecting (Resubscribed).
  card.querySelector("button").addEventListener("click", () =>
    unsubscribe(card.dataset.subscription));
  subscriptions.set(id, { extension, status: "waiting", element: card });
  $("#subscriptions").prepend(card);
  drawSubscription(id);
}

function drawSubscription(id) {
  const subscription = subscriptions.get(id);
  const badge = subscription.element.querySelector(".badge");
  badge.textContent = subscription.status;
  badge.dataset.status = subscription.status;
  subscription.element.querySelector(".id").textContent = `id ${id}`;
  subscription.element.dataset.subscription = id;
}

async function unsubscribe(id) {
  if ((await request("Unsubscribe", id)) !== true) return;
  subscriptions.get(id)?.element.remove();
  subscriptions.delete(id);
}

// ---- events

const EVENT_HANDLERS = {
  CallStateChanged({ callID, callState }) {
    const call = addCall(callID, "", "");
    call.state = callState;
    call.ended = FINAL_STATES.has(callState);
    drawCall(callID);
  },
  MessagePlayed({ callID }) {
    addCall(callID, "", "").played += 1;
    drawCall(callID);
  },
  DtmfDigitReceived({ callID, digit }) {
    addCall(callID, "", "").digits += String.fromCharCode(digit & 0xff);
    drawCall(callID);
  },
  RequestFailed({ callID, failureCode, failureString }) {
    const call = calls.get(callID);
    if (call !== undefined) {
      call.failed = `request failed: ${failureCode} ${failureString}`;
      // A call whose creation failed never comes to be.
      if (call.state === null) call.ended = true;
      drawCall(callID);
    }
    const what = requested.get(callID) ?? `A request about ${callID}`;
    failure(`${what} failed:`, `${failureCode} ${failureString}`);
  },
  Disconnected() {
    setStatus("pbx", "bad", "disconnected");
    connectionGone("lost");
  },
  CallArrived(params) {
    addOffer(params);
  },
  MailArrived({ subscrID, caller, time, duration, id }) {
    if (!subscriptions.has(subscrID)) addSubscription(subscrID, "?");
    const notice = element(
      "li",
      {},
      element("strong", {}, caller || "unknown caller"),
      ` \u00b7 ${duration} s`,
      element("small", {}, `${time} \u00b7 mail ${id}`),
    );
    subscriptions.get(subscrID).element.querySelector(".notices").prepend(notice);
  },
  SubscriptionConfirmed({ subscrID, confirmed, errorCode }) {
    if (!subscriptions.has(subscrID)) return;
    subscriptions.get(subscrID).status = confirmed ? "confirmed" : `refused (${errorCode})`;
    drawSubscription(subscrID);
  },
  Reconnecting({ attempt, delay }) {
    setStatus("pbx", "warn", `reconnecting (try ${attempt} in ${delay} ms)`);
  },
  Resubscribed({ oldSubscrID, subscrID }) {
    const subscription = subscriptions.get(oldSubscrID);
    if (subscription === undefined) return;
    subscriptions.delete(oldSubscrID);
    subscriptions.set(subscrID, { ...subscription, status: "waiting" });
    drawSubscription(subscrID);
  },
  Reconnected() {
    setStatus("pbx", "good", "connected again");
    pbxConnected = true;
    drawExtensions();
  },
};

// ---- forms

function onSubmit(selector, handler) {
  $(selector).addEventListener("submit", (event) => {
    event.preventDefault();
    handler(event.target.elements);
  });
}

onSubmit("#connect-form", async (form) => {
  const address = form.address.value.trim();
  setStatus("pbx", "warn", "connecting\u2026");
  const result = await request(
    "Connect",
    address,
    Number(form.port.value),
    Number(form.timeout.value),
    form.user.value,
    form.password.value,
  );
  if (result === true) {
    setStatus("pbx", "good", `${form.user.value}@${address}:${form.port.value}`);
    connectionMade();
  } else {
    setStatus("pbx", pbxConnected ? "good" : vx === null ? "idle" : "bad",
      pbxConnected ? "still connected" : "not connected");
  }
});

$("#connect-form").elements.disconnect.addEventListener("click", async () => {
  if ((await request("Disconnect")) !== true) return;
  setStatus("pbx", "idle", "disconnected");
  connectionGone("ended");
});

onSubmit("#create-form", async (form) => {
  const from = form.from.value.trim();
  const to = form.to.value.trim();
  const id = await request("CreateCall", from, to);
  if (id === undefined || id === "0") return;
  requested.set(id, `CreateCall(${show(from)}, ${show(to)})`);
  addCall(id, from, to);
});

onSubmit("#takeover-form", async (form) => {
  const extension = form.extension.value.trim();
  if ((await request("IncomingCallHandling", extension, true)) === true) {
    extensions.add(extension);
    drawExtensions();
  }
});

$("#takeover-form").elements.release.addEventListener("click", async () => {
  const extension = $("#takeover-form").elements.extension.value.trim();
  if ((await request("IncomingCallHandling", extension, false)) === true) {
    extensions.delete(extension);
    drawExtensions();
  }
});

onSubmit("#subscribe-form", async (form) => {
  const extension = form.extension.value.trim();
  const id = await request("SubscribeToVoiceMail", extension);
  if (id === undefined || id === "0") return;
  requested.set(id, `SubscribeToVoiceMail(${show(extension)})`);
  addSubscription(id, extension);
});

$("#clear-ended").addEventListener("click", () => {
  for (const [id, call] of calls) {
    if (!call.ended) continue;
    closeEditor(call.row);
    call.row.remove();
    calls.delete(id);
    requested.delete(id);
  }
  $("#no-calls").hidden = calls.size > 0;
});

$("#clear-failures").addEventListener("click", () => {
  $("#failures").replaceChildren();
  $("#no-failures").hidden = false;
});

$("#clear-log").addEventListener("click", () => $("#log").replaceChildren());

// ---- start

// A console URL with another token, pasted into this tab, starts afresh.
addEventListener("hashchange", () => location.reload());

if (token === null) {
  $("#token-field").hidden = false;
  setStatus("bridge", "idle", "enter the token to connect");
} else {
  bridge();
}
