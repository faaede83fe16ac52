"""The play app and the HTML replay in a real browser (headless Chromium through Selenium),
and the play server's refusals of illegal requests. Only 127.0.0.1 is contacted."""

from __future__ import annotations

import json
import random
import shutil
import threading
import time
import urllib.error
import urllib.request

import pytest

pytest.importorskip("torch")
pytest.importorskip("numpy")

from tavlox_zero.nets.network import new_model  # noqa: E402
from tavlox_zero.players.network_player import NetworkPlayer  # noqa: E402
from tavlox_zero.view.play_app import PlayApp, network_piece  # noqa: E402
from tavlox_zero.view.play_server import make_server  # noqa: E402
from tavlox_zero.engine.rules import Game  # noqa: E402
from tavlox_zero.view.replay import write_html  # noqa: E402
from tavlox_zero.view.timeline import replay  # noqa: E402

DIM = 5
WAIT_SECONDS = 60


@pytest.fixture(scope="module")
def server():
    """A play server on a free port of 127.0.0.1: seat 1 against a tiny network, 2 simulations."""
    app = PlayApp(network_piece(NetworkPlayer(new_model(channels=8, blocks=1), sims=2)), DIM, seat=0)
    server = make_server(app)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
    driver_path = shutil.which("chromedriver")
    binary = shutil.which("chromium") or shutil.which("chromium-browser")
    if not driver_path or not binary:
        pytest.skip("no browser: install chromium and chromium-driver (./scripts/test does so as root)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = binary
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1200,900", "--no-proxy-server", "--disable-background-networking"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(driver_path))
    driver.set_page_load_timeout(WAIT_SECONDS)
    driver.set_script_timeout(WAIT_SECONDS)
    yield driver
    driver.quit()


def wait_for(condition, what: str):
    deadline = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    pytest.fail(f"timed out waiting for {what}")


def console_errors(driver) -> list:
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def page_state(driver, server: str) -> dict:
    session = driver.execute_script("return localStorage.getItem('tavlox-play-session')")
    with urllib.request.urlopen(f"{server}/api/state?session={session}", timeout=WAIT_SECONDS) as response:
        return json.load(response)


def settled(driver) -> str:
    """Waits until it is the person's turn or the game is over; returns 'over' or 'turn'."""
    def ready():
        if driver.find_element("tag name", "body").get_attribute("data-over") == "true":
            return "over"
        return "turn" if driver.find_elements("css selector", ".cell.legal") else None

    return wait_for(ready, "the person's turn or the end of the game")


def open_new_game(driver, server: str) -> None:
    driver.get(server + "/")
    settled(driver)
    driver.find_element("id", "new").click()
    wait_for(lambda: driver.find_element("tag name", "body").get_attribute("data-tiles") == "0", "a new game")
    settled(driver)


def test_a_whole_game_is_played_by_clicking_legal_tiles(browser, server):
    open_new_game(browser, server)
    rng = random.Random(3)
    for _ in range(200):
        if settled(browser) == "over":
            break
        before = browser.find_element("tag name", "body").get_attribute("data-tiles")
        rng.choice(browser.find_elements("css selector", ".cell.legal")).click()
        wait_for(lambda: browser.find_element("tag name", "body").get_attribute("data-tiles") != before,
                 "the clicked tile to be placed")
    assert settled(browser) == "over", "the game did not end within 200 clicks"
    state = page_state(browser, server)
    rules = Game(DIM)
    for player, tile in state["moves"]:
        assert rules.player == player
        rules.apply(tile)
    assert rules.is_terminal()
    assert state["scores"] == rules.scores() and state["payoffs"] == pytest.approx(rules.payoff())
    panel = browser.find_element("id", "panel").text
    for score in rules.scores():
        assert f"score {score}" in panel, f"score {score} missing from the panel: {panel}"
    assert "Game over" in browser.find_element("id", "status").text
    assert not console_errors(browser)


def test_a_reload_mid_piece_resumes_and_a_tile_can_be_taken_back(browser, server):
    open_new_game(browser, server)
    browser.find_elements("css selector", ".cell.legal")[0].click()
    wait_for(lambda: browser.find_elements("css selector", ".cell.chosen"), "the first tile")
    chosen = [c.get_attribute("data-tile") for c in browser.find_elements("css selector", ".cell.chosen")]
    legal = [c.get_attribute("data-tile") for c in browser.find_elements("css selector", ".cell.legal")]
    browser.refresh()
    wait_for(lambda: browser.find_elements("css selector", ".cell.chosen"), "the game after the reload")
    assert [c.get_attribute("data-tile") for c in browser.find_elements("css selector", ".cell.chosen")] == chosen
    assert [c.get_attribute("data-tile") for c in browser.find_elements("css selector", ".cell.legal")] == legal
    browser.find_element("id", "undo").click()
    wait_for(lambda: not browser.find_elements("css selector", ".cell.chosen"), "the tile to be taken back")
    assert page_state(browser, server)["tiles"] == 0
    assert not console_errors(browser)


def test_the_html_replay_loads_and_steps_with_the_keyboard(browser, tmp_path):
    rng = random.Random(8)
    game, policies = Game(DIM), []
    while not game.is_terminal():
        legal = game.legal_tiles()
        policies.append([(t, 1 / len(legal)) for t in legal])
        game.apply(rng.choice(legal))
    path = tmp_path / "replay.html"
    write_html(replay(DIM, game.history, policies, game.payoff()), path, "test game")
    browser.get(path.as_uri())
    slider = wait_for(lambda: browser.find_elements("id", "slider"), "the slider")[0]
    total = len(game.history)
    assert slider.get_attribute("value") == str(total)
    body = browser.find_element("tag name", "body")
    for key, expected in (("Home", 0), ("ArrowRight", 1), ("ArrowRight", 2), ("ArrowLeft", 1), ("End", total)):
        body.send_keys({"Home": "\ue011", "End": "\ue010", "ArrowRight": "\ue014", "ArrowLeft": "\ue012"}[key])
        assert slider.get_attribute("value") == str(expected), f"{key} did not move to tile {expected}"
    body.send_keys("\ue011")
    heat = browser.find_elements("css selector", ".cell .heat")
    assert len(heat) == len(policies[0]), "the first position's visits are not drawn"
    assert not console_errors(browser), console_errors(browser)


@pytest.mark.parametrize(
    "method, path, body, status, message",
    [
        ("GET", "/api/state?session=nosuchgame", None, 404, "no such game"),
        ("POST", "/api/tile", {"session": "nosuchgame", "tile": 0}, 404, "no such game"),
        ("POST", "/api/tile", {"tile": 24}, 400, "illegal tile 24"),
        ("POST", "/api/tile", {"tile": "a5"}, 400, "tile must be an integer"),
        ("POST", "/api/tile", {"tile": -1}, 400, "illegal tile"),
        ("POST", "/api/undo", {}, 409, "nothing to take back"),
        ("POST", "/api/advance", {}, 409, "your turn"),
        ("POST", "/api/tile", "[1, 2]", 400, "JSON object"),
        ("POST", "/api/tile", "x" * 5000, 413, "at most"),
        ("POST", "/api/nothing", {}, 404, "no action"),
    ],
)
def test_illegal_requests_are_refused_with_a_clear_message(server, method, path, body, status, message):
    def request(method, path, body):
        data = None if body is None else (body if isinstance(body, str) else json.dumps(body)).encode()
        req = urllib.request.Request(server + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=WAIT_SECONDS) as response:
                return response.status, json.load(response)
        except urllib.error.HTTPError as error:
            return error.code, json.load(error)

    code, fresh = request("POST", "/api/new", {})
    assert code == 200 and fresh["legal"], fresh
    if isinstance(body, dict):
        body = {"session": fresh["session"], **body}
    code, answer = request(method, path, body)
    assert code == status and message in answer.get("error", ""), f"{method} {path} {body!r}: {code} {answer}"
    code, after = request("GET", f"/api/state?session={fresh['session']}", None)
    assert after["moves"] == [] and after["legal"] == fresh["legal"], "a refused request changed the game"
