#!/usr/bin/env python3
"""The sandbox's live view in headless Chromium while the demo game runs.

    sandbox_view_test.py BUILD_DIR [--screenshot PNG]

Exits 77 (skipped) when Chromium cannot run here; on a failure the page is
saved as BUILD_DIR/sandbox_view_failure.png.
"""
import json, os, re, ssl, subprocess, sys, tempfile, time, urllib.error, urllib.request

SKIP = 77
build = os.path.abspath(sys.argv[1])
shot = sys.argv[3] if len(sys.argv) > 3 and sys.argv[2] == "--screenshot" else None
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError as e:
    print(f"SKIPPED: no selenium for {sys.executable} ({e})")
    sys.exit(SKIP)


def browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1200,1400", "--force-device-scale-factor=0.8"):
        opts.add_argument(a)
    try:
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    except Exception as e:  # no browser, no driver, or one that cannot start here
        print(f"SKIPPED: headless Chromium cannot run: {str(e).splitlines()[0] if str(e) else e!r}")
        sys.exit(SKIP)


state = tempfile.mkdtemp(prefix="nimo-view-")
sandbox = subprocess.Popen([f"{build}/tools/sandbox/nimo-sandbox", "--state", f"{state}/server", "--quiet",
                            "--player-product", "gem_300=decline", "--exit-on-stdin-eof"],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
lines = {}
for line in sandbox.stdout:
    key, _, value = line.strip().partition("=")
    lines[key] = value
    if key == "NIMO_SANDBOX_READY":
        break
assert "NIMO_SANDBOX_VIEW" in lines, f"no view address among {lines}"
driver = browser()
demo_out = []


def run_demo(**extra):
    env = dict(os.environ, XDG_DATA_HOME=f"{state}/home", DEMO_APP_ID="10001", DEMO_APP_KEY="sandbox-key-10001",
               DEMO_PRODUCT_APPROVED="gem_60", DEMO_PRODUCT_DECLINED="gem_300", **extra)
    env.update({k: v for k, v in lines.items() if k.startswith(("NIMOSDK_", "NIMO_STEAM_"))})
    p = subprocess.run([f"{build}/examples/demo/nimo-demo"], env=env, cwd=state, capture_output=True, text=True,
                       timeout=90)
    demo_out.append(p.stdout)
    return p


def wait_for(what, check, seconds=15):
    WebDriverWait(driver, seconds, 0.2, [StaleElementReferenceException]).until(lambda d: check(), message=f"the page never showed {what}")


def rows(table, selector="tbody tr"):
    return driver.find_elements(By.CSS_SELECTOR, f"#{table} {selector}")


def orders(product):
    return [r.get_attribute("data-state") for r in rows("orders", f'tr[data-product="{product}"]')]


def requests(endpoint):
    return [r.text for r in rows("requests", f'tr[data-endpoint="{endpoint}"]')]


def status(path, body=None, headers={}):
    try:
        return urllib.request.urlopen(urllib.request.Request(lines["NIMO_SANDBOX_VIEW"] + path, body, headers)).status
    except urllib.error.HTTPError as e:
        return e.code


started = time.monotonic()
try:
    # What another site's page or a rebound host name could send is refused; so is a big body.
    assert status("control", b'{"clearState":true}') == 403
    assert status("state", None, {"Host": "attacker.example"}) == 403
    assert status("control", b"[" * 70000, {"Content-Type": "application/json"}) == 413
    driver.get(lines["NIMO_SANDBOX_VIEW"])
    wait_for("that it is live", lambda: driver.find_element(By.ID, "status").text.startswith("live"))

    first = run_demo()
    assert first.returncode == 0, "the demo failed against the sandbox"
    wait_for("the login", lambda: any(re.search("login .*signature \u2713 200 200", r) for r in requests("login")))
    wait_for("the player with a shortened token",
             lambda: any(re.search(r"^1\d{5} 10001 \d+ [0-9a-f]{6}\.\.\.[0-9a-f]{2} 1 ", r.text) for r in rows("players")))
    wait_for("both purchases in their final state",
             lambda: orders("gem_60") == ["confirmed"] and orders("gem_300") == ["declined"])
    assert "Steam approved" in rows("orders", 'tr[data-product="gem_60"]')[0].text
    wait_for("the first events with their numbers", lambda: {"n1", "n2"} <= {
             r.get_attribute("data-order") for r in rows("events")})

    driver.find_element(By.CSS_SELECTOR, 'button[data-product="gem_60"][data-mode="decline"]').click()
    wait_for("decline switched on", lambda: "on" in driver.find_element(
        By.CSS_SELECTOR, 'button[data-product="gem_60"][data-mode="decline"]').get_attribute("class"))
    run_demo()  # its approved purchase is declined now, so the demo itself reports a failure
    wait_for("the next gem_60 purchase declined", lambda: orders("gem_60") == ["confirmed", "declined"])
    # The first run's last events were queued at its Exit and sent by this run's Init.
    wait_for("the game's own events", lambda: {"zko_self_boss_defeated", "zko_level_achieved"} <= {
        r.get_attribute("data-name") for r in rows("events")})
    driver.find_element(By.ID, "filter").send_keys("boss")
    wait_for("only the boss event", lambda: {r.get_attribute("data-name") for r in rows("events")} == {"zko_self_boss_defeated"})
    driver.find_element(By.ID, "filter").clear()
    # A device whose numbers repeat and skip: 1, 1, 3; and a login refused for its parameters.
    tls = ssl.create_default_context(cafile=lines["NIMOSDK_CA_FILE"])
    urllib.request.urlopen(urllib.request.Request(lines["NIMOSDK_API_BASE_URL"] + "/v22/init.do", b"appId=10001"),
                           context=tls).read()
    wait_for("why the login was refused", lambda: any(re.search(
        "parameter order \u2717 ?appId - ?signature - 200 400 Missing parameter: .+; expected the parameters in this order",
        r) for r in requests("login")))
    for n in (1, 1, 3):
        event = json.dumps({"deviceId": "view-test", "event": "probe", "eventOrder": f"n{n}"}).encode()
        urllib.request.urlopen(urllib.request.Request(lines["NIMOSDK_TRACK_URL"], event), context=tls).read()
    wait_for("a repeat and a gap in red", lambda: [(r.get_attribute("data-order"), r.get_attribute("class")) for r in
             rows("events", 'tr[data-name="probe"]')] == [("n3", "gap"), ("n1", "repeat"), ("n1", "repeat")])

    Select(driver.find_element(By.ID, "fault-login")).select_by_visible_text("hang")
    wait_for("login set to hang", lambda: rows("faults", "tr td.now")[2].text == "hang")
    hung = run_demo(NIMOSDK_IO_TIMEOUT_MS="1500", NIMOSDK_REQUEST_TIMEOUT_MS="3000")
    assert "[FAIL] Login answers 200" in hung.stdout, "the login should have timed out in the game"
    wait_for("the hanging login given up", lambda: any("not checked hang" in r and "(never answered)" in r
                                                        for r in requests("login")), 30)
    if shot:
        driver.save_screenshot(shot)
    driver.find_element(By.ID, "clear").click()
    wait_for("a cleared state", lambda: not rows("orders") and not rows("players") and not rows("events"))
    print(f"passed in {time.monotonic() - started:.1f} s")
except Exception:
    path = os.path.join(build, "sandbox_view_failure.png")
    driver.save_screenshot(path)
    print(f"page saved as {path}\n--- page ---\n{driver.find_element(By.TAG_NAME, 'body').text}\n--- demo ---")
    print("\n".join(demo_out))
    raise
finally:
    driver.quit()
    sandbox.stdin.close()
    try:
        sandbox.wait(10)
    except subprocess.TimeoutExpired:
        sandbox.kill()
        sandbox.wait()
    subprocess.run(["rm", "-rf", state])
