// The Voxtrel client for web pages: the control's methods and events over the bridge's
// WebSocket (JSON-RPC 2.0), as one ES module without dependencies.

/**
 * The control's fifteen methods with the names of their parameters, in the order the bridge
 * takes them. Each becomes a method of Voxtrel.
 */
export const METHODS = Object.freeze({
  Connect: ["serverAddress", "serverPort", "timeout", "username", "password"],
  Disconnect: [],
  CreateCall: ["from", "to"],
  CloseCall: ["callID"],
  TransferCall: ["callID", "to"],
  JoinCalls: ["callID", "callIDtoJoin"],
  UnjoinCalls: ["callID", "callIDtoUnjoin"],
  PlayMessage: ["callID", "fileName", "playCount"],
  EnableDtmfDetection: ["callID", "onoff"],
  IncomingCallHandling: ["extensionName", "enable"],
  AcceptCall: ["callID", "callerID", "callerDispName"],
  RejectCall: ["callID"],
  ForwardCall: ["callID", "callee", "callerID", "callerDispName"],
  SubscribeToVoiceMail: ["extensionName"],
  Unsubscribe: ["subscrID"],
});

/**
 * One connection to the bridge, with a control of its own on the bridge's side.
 *
 *     const vx = await Voxtrel.open("ws://127.0.0.1:8765/rpc", token);
 *     vx.on("CallStateChanged", ({ callID, callState }) => ...);
 *     await vx.Connect("127.0.0.1", 5060, 10, "demo", "demo");
 *
 * Each method of METHODS takes the control's arguments by position and returns a promise of
 * its result (true/false, or an id text). A JSON-RPC error rejects it with an Error whose
 * `code` is the JSON-RPC code; a request still unanswered when the connection closes rejects
 * with an Error whose `code` is undefined.
 */
export class Voxtrel {
  #socket;
  #nextId = 1;
  #pending = new Map(); // request id -> { resolve, reject }
  #handlers = new Map(); // event name -> Set of handlers
  #closed;

  /**
   * Opens a connection. The token goes into the URL as the bridge expects; a relative URL is
   * read against the page, and an http(s) one becomes ws(s). Rejects when the bridge refuses
   * the connection (a wrong token, a page origin it does not allow) or cannot be reached; a
   * browser does not tell these apart.
   * @param {string} url the bridge's endpoint, e.g. "ws://127.0.0.1:8765/rpc"
   * @param {string} token the bridge's access token
   * @returns {Promise<Voxtrel>}
   */
  static open(url, token) {
    const address = new URL(url, globalThis.location?.href);
    address.protocol = address.protocol.replace(/^http/, "ws");
    address.searchParams.set("token", token);
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(address);
      const refused = (event) =>
        reject(new Error(`the bridge refused or could not be reached (close code ${event.code})`));
      socket.addEventListener("close", refused, { once: true });
      socket.addEventListener(
        "open",
        () => {
          socket.removeEventListener("close", refused);
          resolve(new Voxtrel(socket));
        },
        { once: true },
      );
    });
  }

  /** @param {WebSocket} socket an open socket; use Voxtrel.open instead */
  constructor(socket) {
    this.#socket = socket;
    socket.addEventListener("message", (event) => this.#receive(event.data));
    this.#closed = new Promise((resolve) => {
      socket.addEventListener("close", (event) => {
        const error = new Error(`the connection to the bridge closed (close code ${event.code})`);
        for (const { reject } of this.#pending.values()) reject(error);
        this.#pending.clear();
        resolve({ code: event.code, reason: event.reason });
      });
    });
  }

  /**
   * Adds a handler for an event (the eight events of the control, and Reconnecting,
   * Resubscribed and Reconnected when the bridge reconnects by itself). The handler receives
   * the event's parameters as one object, e.g. { callID, callState }.
   * @param {string} name the event's name
   * @param {(params: object) => void} handler
   * @returns {() => void} removes the handler
   */
  on(name, handler) {
    if (!this.#handlers.has(name)) this.#handlers.set(name, new Set());
    // A wrapper of its own lets the same function be added twice and removed once.
    const entry = (params) => handler(params);
    this.#handlers.get(name).add(entry);
    return () => this.#handlers.get(name)?.delete(entry);
  }

  /** Ends the connection; the bridge then destroys its control. */
  close() {
    this.#socket.close(1000);
  }

  /**
   * Settles once the connection has closed, by close() or from the other side, with the
   * WebSocket's close code and reason.
   * @returns {Promise<{code: number, reason: string}>}
   */
  get closed() {
    return this.#closed;
  }

  static {
    for (const name of Object.keys(METHODS)) {
      Object.defineProperty(this.prototype, name, {
        value: function (...params) {
          return this.#request(name, params);
        },
        writable: true,
        configurable: true,
      });
    }
  }

  #request(method, params) {
    if (this.#socket.readyState !== WebSocket.OPEN) {
      return Promise.reject(new Error("the connection to the bridge is closed"));
    }
    const id = this.#nextId++;
    return new Promise((resolve, reject) => {
      this.#pending.set(id, { resolve, reject });
      this.#socket.send(JSON.stringify({ jsonrpc: "2.0", id, method, params }));
    });
  }

  #receive(data) {
    if (typeof data !== "string") return;
    let message;
    try {
      message = JSON.parse(data);
    } catch {
      return;
    }
    if (message === null || typeof message !== "object") return;
    if ("id" in message && message.id !== null) {
      this.#settle(message);
    } else if (typeof message.method === "string") {
      this.#dispatch(message.method, message.params ?? {});
    }
  }

  #settle(message) {
    const pending = this.#pending.get(message.id);
    if (pending === undefined) return;
    this.#pending.delete(message.id);
    if (message.error !== undefined) {
      const error = new Error(message.error.message ?? "JSON-RPC error");
      error.code = message.error.code;
      if (message.error.data !== undefined) error.data = message.error.data;
      pending.reject(error);
    } else {
      pending.resolve(message.result);
    }
  }

  #dispatch(name, params) {
    for (const handler of [...(this.#handlers.get(name) ?? [])]) {
      // One failing handler must not keep the event from the others.
      try {
        handler(params);
      } catch (error) {
        globalThis.reportError?.(error);
      }
    }
  }
}
