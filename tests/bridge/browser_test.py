"""The bridge's console page and JavaScript client in headless Chromium, against `voxtrel pbx` and
`python3 -m voxtrel.bridge`: a walk-through of the console, the client module's promises and
events, and the refusals a browser meets (a wrong token, a page of another origin).

Environment: VOXTREL (the voxtrel command), PYTHONPATH and VOXTREL_LIBRARY as for the Python
binding. The screenshots and the bridge's log go to VOXTREL_ARTIFACTS (default: the working
directory). Exits 77 when Chromium, its driver or Selenium is missing."""

import base64
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import threading
import unittest

import voxtrel

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

VOXTREL = os.environ.get("VOXTREL", "voxtrel")
STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bindings", "python",
                      "voxtrel", "bridge", "static")
ARTIFACTS = os.environ.get("VOXTREL_ARTIFACTS", os.getcwd())
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
PASSWORD = "pw-never-shown"  # distinct from every other text, so that a leak is found
WAIT = 10  # seconds, for anything the page or the simulator is to do


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pbx = subprocess.Popen([VOXTREL, "pbx", "--user", f"demo:{PASSWORD}"], text=True,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        cls.addClassCleanup(cls.stop, cls.pbx)
        cls.pbx_host, cls.pbx_port = cls.pbx.stdout.readline().split()[1].rsplit(":", 1)

        cls.bridge_log = open(os.path.join(ARTIFACTS, "bridge-browser-test.log"), "w")
        cls.addClassCleanup(cls.bridge_log.close)
        cls.bridge = subprocess.Popen([sys.executable, "-m", "voxtrel.bridge", "--listen",
                                       "127.0.0.1:0"], text=True, stdout=subprocess.PIPE,
                                      stderr=cls.bridge_log)
        cls.addClassCleanup(cls.stop, cls.bridge)
        printed = dict(cls.bridge.stdout.readline().split(" ", 1) for _ in range(3))
        cls.base, cls.token, cls.console = (printed[key].strip()
                                            for key in ("listening", "token", "console"))

        # Another origin: the same files served from another port.
        handler = functools.partial(QuietHandler, directory=STATIC)
        cls.foreign = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=cls.foreign.serve_forever, daemon=True).start()
        cls.addClassCleanup(cls.foreign.server_close)
        cls.addClassCleanup(cls.foreign.shutdown)

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                         "--disable-gpu", "--window-size=1280,1030"):
            options.add_argument(argument)
        cls.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        cls.addClassCleanup(cls.browser.quit)
        cls.browser.set_script_timeout(WAIT)
        cls.browser.set_page_load_timeout(WAIT)

    @staticmethod
    def stop(process):
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    # Helpers.

    def load(self, url):
        # By way of a blank page: a URL that differs only in its fragment would not load anew.
        self.browser.get("about:blank")
        self.browser.get(url)

    def simulator(self, command):
        """Runs one simulator console command; its one line of answer."""
        self.pbx.stdin.write(command + "\n")
        self.pbx.stdin.flush()
        answer = self.pbx.stdout.readline().strip()
        self.assertFalse(answer.startswith("error"), f"{command}: {answer}")
        return answer

    def until(self, condition, what):
        return WebDriverWait(self.browser, WAIT, poll_frequency=0.05).until(
            lambda _: condition(), f"waited {WAIT} s for {what}")

    def text(self, selector):
        # In one step: the page redraws what it shows as events arrive.
        return self.browser.execute_script(
            "const found = document.querySelector(arguments[0]);"
            "return found === null ? '' : found.innerText", selector)

    def click(self, selector):
        self.browser.find_element(By.CSS_SELECTOR, selector).click()

    def fill(self, form, **values):
        for name, value in values.items():
            field = self.browser.find_element(By.CSS_SELECTOR, f"{form} [name={name}]")
            field.clear()
            field.send_keys(str(value))

    def log_lines(self):
        """The console's event log, oldest first."""
        return self.browser.execute_script(
            "return [...document.querySelectorAll('#log li')].map(li => li.textContent).reverse()")

    def screenshot(self, name, selector=None):
        """The page, or one part of it with a margin around, as ARTIFACTS/name."""
        self.browser.execute_script("window.scrollTo(0, 0)")
        path = os.path.join(ARTIFACTS, name)
        if selector is None:
            self.browser.save_screenshot(path)
            return
        clip = self.browser.execute_script(
            "const box = document.querySelector(arguments[0]).getBoundingClientRect();"
            "return { x: box.x - 8, y: box.y - 8, width: box.width + 16,"
            "         height: box.height + 16, scale: 1 }", selector)
        shot = self.browser.execute_cdp_cmd("Page.captureScreenshot", {"clip": clip})
        with open(path, "wb") as file:
            file.write(base64.b64decode(shot["data"]))

    def run_module(self, origin, script, **values):
        """Runs script as the body of an async function in a page of origin that imports the
        client module from there; its result, or {"thrown": message}."""
        self.load(origin)
        return self.browser.execute_async_script(
            "const [values, done] = arguments;"
            "import('/voxtrel.js').then(async (module) => {"
            "  const { Voxtrel, METHODS } = module;"
            "  const until = async (test) => { while (!test()) await new Promise("
            "    (resolve) => setTimeout(resolve, 20)); };"
            f"  {script}"
            "}).then(done, (error) => done({ thrown: String(error) }));", values)

    # The tests.

    def test_console_walkthrough(self):
        self.load(self.console)
        self.until(lambda: "connected" in self.text("#bridge-status"), "the bridge connection")
        self.fill("#connect-form", address=self.pbx_host, port=self.pbx_port, password=PASSWORD)
        self.click("#connect-form [name=connect]")
        self.until(lambda: "demo@" in self.text("#pbx-status"), "the PBX connection")

        # A created call goes through its states, each shown by name as it arrives.
        self.click("#create-form button[type=submit]")
        row = "#calls tbody tr[data-call]"
        self.until(lambda: self.text(f"{row} .badge") == "3 connected", "a connected call")
        call = self.browser.find_element(By.CSS_SELECTOR, row).get_attribute("data-call")
        states = [json.loads(line[line.index("{"):])["callState"] for line in self.log_lines()
                  if "CallStateChanged" in line and call in line]
        self.assertEqual(states, [1, 2, 3])
        self.assertIn("pbx:200 \u2192 pbx:100", self.text(f"tr[data-call='{call}']"))

        # An offered call, accepted: it leaves the offers for the table of calls.
        self.click("#takeover-form [name=take]")
        self.until(lambda: "300" in self.text("#extensions"), "the extension taken over")
        offered = self.simulator("offer 300 pbx:555")
        offer = f"#offers li[data-call='{offered}']"
        self.until(lambda: "555" in self.text(offer), "the offer")
        self.click("#subscribe-form button[type=submit]")
        self.until(lambda: "confirmed" in self.text("li.subscription .badge"),
                   "the subscription confirmed")
        self.screenshot("bridge-incoming.png", "#incoming-panel")
        self.click(f"{offer} [name=accept]")
        self.until(lambda: not self.browser.find_elements(By.CSS_SELECTOR, offer), "the answer")
        self.until(lambda: self.text(f"tr[data-call='{offered}'] .badge") == "3 connected",
                   "the accepted call connected")
        self.assertIn("accepted 1", self.simulator("counts"))

        # The buttons of a call: DTMF detection and its digits, a message played, a join.
        first = f"tr[data-call='{call}']"
        self.click(f"{first} [data-action=dtmf]")
        self.until(lambda: self.text(f"{first} .dtmf") == "on", "DTMF detection on")
        self.simulator(f"dtmf {call} 12#")
        self.until(lambda: "12#" in self.text(f"{first} .dtmf"), "the digits")
        self.click(f"{first} [data-action=play]")
        self.fill("tr.editor", file="greeting.wav")
        self.click("tr.editor button[type=submit]")
        self.until(lambda: "message played \u00d71" in self.text(first), "the message played")
        self.click(f"{first} [data-action=join]")
        self.click("tr.editor button[type=submit]")  # the other live call, the only choice
        badges = lambda: {self.text(f"tr[data-call='{c}'] .badge") for c in (call, offered)}
        self.until(lambda: badges() == {"5 joined"}, "the calls joined")

        # A voice-mail notice reaches its subscription.
        subscription = self.browser.find_element(By.CSS_SELECTOR, "li.subscription")
        self.simulator(f"mail {subscription.get_attribute('data-subscription')} pbx:555 42 7")
        self.until(lambda: "mail 7" in subscription.text, "the voice-mail notice")
        self.assertIn("pbx:555 \u00b7 42 s", subscription.text)

        # A fault the service sends shows as a failed request, and the call as never placed.
        self.simulator("fault createcall 42 Out of order")
        self.click("#create-form button[type=submit]")
        self.until(lambda: "Out of order" in self.text("#failures"), "the failed request")
        self.assertIn('CreateCall("pbx:200", "pbx:100") failed: 42 Out of order',
                      self.text("#failures li"))
        self.assertEqual(self.text(f"{row} .badge"), "not placed")

        # The password appears nowhere: not on the page, not in the browser's storage.
        self.assertIn('"demo", "\u2022\u2022\u2022")', "\n".join(self.log_lines()))
        kept = self.browser.execute_script(
            "return document.body.innerText + JSON.stringify({...localStorage}) +"
            " JSON.stringify({...sessionStorage}) + document.cookie")
        self.assertNotIn(PASSWORD, kept)
        self.screenshot("bridge-console.png")

        # The service closes the connection: what it held is shown as lost with it.
        self.simulator("close")
        self.until(lambda: "disconnected" in self.text("#pbx-status"), "the connection lost")
        self.assertEqual(self.text("li.subscription .badge"), "lost")
        self.assertEqual(self.text("#extensions"), "Lost with the connection: 300")

    def test_client_module(self):
        result = self.run_module(self.base, """
            const vx = await Voxtrel.open("/rpc", values.token);
            const states = [];
            vx.on("CallStateChanged", (event) => states.push(event));
            vx.on("CallStateChanged", () => states.push("removed"))();
            const connected = await vx.Connect(values.host, values.port, 5, "demo",
                                               values.password);
            const callID = await vx.CreateCall("pbx:200", "pbx:100");
            await until(() => states.some((event) => event.callState === 3));
            const refused = await vx.CreateCall("pbx:200").catch((error) => [error.code]);
            const unanswered = vx.CloseCall(callID);
            vx.close();
            const closing = await unanswered.catch((error) => [error.code, error.message]);
            return { methods: METHODS, connected, callID, states, refused, closing,
                     closed: (await vx.closed).code };
            """, token=self.token, host=self.pbx_host, port=int(self.pbx_port),
            password=PASSWORD)
        self.assertNotIn("thrown", result, result)
        self.assertEqual(result["methods"],
                         {name: [parameter for parameter, _ in row[1]]
                          for name, row in voxtrel.METHODS.items()})
        self.assertTrue(result["connected"])
        self.assertEqual(result["states"],
                         [{"callID": result["callID"], "callState": state} for state in (1, 2, 3)])
        self.assertEqual(result["refused"], [-32602])
        self.assertIsNone(result["closing"][0])
        self.assertIn("closed", result["closing"][1])
        self.assertEqual(result["closed"], 1000)

    def test_refusals(self):
        # The console given a wrong token says that the bridge refused it. Only the fragment
        # changes, without a load: the page starts afresh with the new token.
        self.load(self.base)
        self.browser.get(f"{self.base}#token=not-{self.token}")
        self.until(lambda: "refused" in self.text("#bridge-status"), "the refusal")
        self.assertIn("Is the token right?", self.text("#failures"))

        # The right token from a page of another origin: the bridge refuses it as well, while
        # the same script from the bridge's own origin opens.
        opening = """
            const vx = await Voxtrel.open(values.url, values.token);
            vx.close();
            return "opened";
            """
        url = self.base.replace("http", "ws") + "rpc"
        foreign = f"http://127.0.0.1:{self.foreign.server_address[1]}/"
        for origin, expected in ((foreign, "refused"), (self.base, "opened")):
            with self.subTest(origin=origin):
                result = self.run_module(origin, opening, url=url, token=self.token)
                self.assertIn(expected, json.dumps(result))


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *_):
        pass


if __name__ == "__main__":
    missing = [name for name, found in (("chromium", CHROMIUM), ("chromedriver", CHROMEDRIVER),
                                        ("selenium", webdriver)) if not found]
    if missing:
        print(f"skipped: {', '.join(missing)} not installed (scripts/install-deps)")
        sys.exit(77)
    unittest.main(verbosity=2)
