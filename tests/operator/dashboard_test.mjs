// Drives the dashboard page in headless Chromium against a real node. Must run
// inside a private network namespace with loopback up (the browser, the node
// and the fake peers all share it):
//   node dashboard_test.mjs NODE_BINARY PAGE_HTML OUTPUT_DIR
// Peers are fake announcements sent to 127.0.0.1:47832 from 127.0.0.2,
// 127.0.0.3, ... so that the node keys each under its own address. The node's
// own echo (which the namespace does not route back to it) is one of them: an
// announcement of the node's name and figure from another address.
// Prints one "ok - ..." or "not ok - ..." line per check.
import { spawn } from "node:child_process";
import dgram from "node:dgram";
import { once } from "node:events";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { isDeepStrictEqual } from "node:util";
import { chromium } from "playwright-core";

const [nodeBinary, pagePath, outputDir] = process.argv.slice(2);
if (!nodeBinary || !pagePath || !outputDir) {
  console.error("usage: node dashboard_test.mjs NODE_BINARY PAGE_HTML OUTPUT_DIR");
  process.exit(2);
}

const ROOM = "dash";
const STATUS_URL = "http://127.0.0.1:47833/";
const PAGE_URL = "file://" + path.resolve(pagePath);
const XSS_HOST = "<img src=x onerror=alert(1)>";
const QUOTED_HOST = 'quote "and" back\\slash';

let passed = 0;
let failed = 0;
function report(ok, name, detail = "") {
  if (ok) {
    passed++;
    console.log(`ok - ${name}`);
  } else {
    failed++;
    console.log(`not ok - ${name}${detail ? ": " + detail : ""}`);
  }
  return ok;
}

// --- the node -------------------------------------------------------------

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "pim-dashboard-"));
fs.mkdirSync(path.join(scratch, "bin"));
fs.writeFileSync(path.join(scratch, "bin", "hostname"), "#!/bin/sh\necho dash-self\n",
                 { mode: 0o755 });

let nodeProcess = null;
let nodeStderr = "";

async function statusAnswers() {
  try {
    const response = await fetch(STATUS_URL, { signal: AbortSignal.timeout(1000) });
    await response.text();
    return true;
  } catch {
    return false;
  }
}

async function startNode() {
  nodeStderr = "";
  nodeProcess = spawn(nodeBinary, ["--room", ROOM, "--node-count", "6"], {
    env: { PATH: `${path.join(scratch, "bin")}:/usr/bin:/bin` },
    stdio: ["ignore", "ignore", "pipe"],
  });
  nodeProcess.stderr.on("data", (chunk) => { nodeStderr += chunk; });
  for (let i = 0; i < 50; i++) {
    if (await statusAnswers()) return true;
    await sleep(100);
  }
  return false;
}

async function stopNode() {
  if (nodeProcess === null || nodeProcess.exitCode !== null ||
      nodeProcess.signalCode !== null) {
    nodeProcess = null;
    return;
  }
  const exited = once(nodeProcess, "exit");
  nodeProcess.kill("SIGKILL");
  await exited;
  nodeProcess = null;
}

// --- fake peers -----------------------------------------------------------

class Announcer {
  constructor(address, host, ram) {
    this.address = address;
    this.payload = Buffer.from(`MORUN-MESH|${ROOM}|${host}|${ram}|1`, "utf8");
    this.lastSent = 0;
  }
  async start() {
    this.socket = dgram.createSocket("udp4");
    this.socket.bind({ address: this.address, port: 0 });
    await once(this.socket, "listening");
    const send = () => {
      this.socket.send(this.payload, 47832, "127.0.0.1", () => {});
      this.lastSent = Date.now();
    };
    send();
    this.timer = setInterval(send, 1000);
  }
  stop() {
    clearInterval(this.timer);
    if (this.socket) this.socket.close();
    this.socket = null;
  }
}

// --- the page -------------------------------------------------------------

// What the page shows, read from its DOM.
function readPage(page) {
  return page.evaluate(() => {
    const text = (id) => document.getElementById(id).textContent;
    return {
      state: document.body.dataset.state,
      problemShown: !document.getElementById("problem").hidden,
      problemTitle: text("problem-title"),
      selfHost: text("self-host"),
      nodes: text("node-count"),
      note: text("node-note"),
      total: text("total-ram"),
      reported: text("total-note"),
      rows: [...document.querySelectorAll("#node-rows tr")].map((row) => {
        const bar = row.querySelector(".bar");
        return {
          kind: row.className,
          host: row.querySelector(".name").textContent,
          gb: row.querySelector("td.num").textContent,
          bar: bar.hidden ? null : row.querySelector(".fill").style.width,
        };
      }),
    };
  });
}

// Waits until `pick(view)` equals `expected`; returns [matched, last view].
async function waitForView(page, pick, expected, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    last = pick(await readPage(page));
    if (isDeepStrictEqual(last, expected)) return [true, last];
    if (Date.now() > deadline) return [false, last];
    await sleep(200);
  }
}

const summary = (view) => ({
  state: view.state, selfHost: view.selfHost, nodes: view.nodes, note: view.note,
  total: view.total, reported: view.reported, rows: view.rows,
});

function row(kind, host, gb, bar) {
  return { kind, host, gb, bar };
}

// The bars take 0.4 s to reach a new width; a screenshot waits them out.
async function screenshot(page, file) {
  await sleep(600);
  await page.screenshot({ path: path.join(outputDir, file), fullPage: true });
}

async function expectView(page, name, expected, timeoutMs) {
  const [ok, last] = await waitForView(page, summary, expected, timeoutMs);
  return report(ok, name, ok ? "" : "page shows " + JSON.stringify(last));
}

// --- the run --------------------------------------------------------------

const peers = {
  alpha: new Announcer("127.0.0.2", "alpha", "15.63"),
  beta: new Announcer("127.0.0.3", "beta", "62.79"),
  xss: new Announcer("127.0.0.4", XSS_HOST, "7.71"),
  quoted: new Announcer("127.0.0.5", QUOTED_HOST, "31.26"),
  delta: new Announcer("127.0.0.6", "delta", "nan"),
  echo: new Announcer("127.0.0.7", "dash-self", "8.00"),
  // Another sender using the node's name, with a figure of its own.
  namesake: new Announcer("127.0.0.8", "dash-self", "2.00"),
};

let context = null;
const watchdog = setTimeout(() => {
  report(false, "dashboard test finished within 180 s");
  process.exit(1);
}, 180_000);

try {
  report(await startNode(), "node answers on 127.0.0.1:47833 in the namespace",
         nodeStderr.trim());
  for (const name of ["alpha", "beta", "xss", "quoted"]) await peers[name].start();

  const profile = fs.mkdtempSync(path.join(scratch, "profile-"));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width: 960, height: 480 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  const page = context.pages()[0] ?? await context.newPage();
  const dialogs = [];
  const pageErrors = [];
  const policyViolations = [];
  const requests = [];
  page.on("dialog", (dialog) => { dialogs.push(dialog.message()); dialog.dismiss(); });
  page.on("pageerror", (error) => pageErrors.push(String(error)));
  page.on("console", (message) => {
    if (/Content Security Policy/i.test(message.text())) policyViolations.push(message.text());
  });
  page.on("request", (request) => requests.push({ url: request.url(), at: Date.now() }));
  await page.goto(PAGE_URL);

  // Sorted by host after this node: '<' sorts before letters.
  const fourPeers = [
    row("self", "dash-self", "8.0", "12.7%"),
    row("peer", XSS_HOST, "7.7", "12.3%"),
    row("peer", "alpha", "15.6", "24.8%"),
    row("peer", "beta", "62.8", "100%"),
    row("peer", QUOTED_HOST, "31.3", "49.8%"),
  ];
  const echoRow = row("echo", "dash-self", "8.0", "12.7%");
  await expectView(page, "lists this node and the four peers, bars against the largest", {
    state: "live", selfHost: "dash-self", nodes: "5", note: "this node and 4 peers",
    total: "125.4 GB", reported: "node reports 125.4 GB", rows: fourPeers,
  }, 10_000);

  // The node hears itself: its document counts it twice, the page once.
  await peers.echo.start();
  await expectView(page, "shows the node's echo beside it and counts the node once", {
    state: "live", selfHost: "dash-self", nodes: "5", note: "this node and 4 peers",
    total: "125.4 GB", reported: "node reports 133.4 GB, itself counted twice",
    rows: [fourPeers[0], echoRow, ...fourPeers.slice(1)],
  }, 8_000);
  await screenshot(page, "dashboard.png");

  report(await page.evaluate(() => document.querySelectorAll("img").length) === 0,
         "a host name written as markup creates no element");

  // The same elements must carry the next answers.
  await page.evaluate(() => {
    document.querySelector("#node-rows tr:nth-child(3)").probe = "kept";
  });
  const before = requests.filter((r) => r.url === STATUS_URL).length;
  const windowStart = Date.now();
  await sleep(10_000);
  const polls = requests.filter((r) => r.url === STATUS_URL && r.at >= windowStart).length;
  report(polls >= 4 && polls <= 6, "polls the node every 2 seconds",
         `${polls} requests in 10 s`);
  report(await page.evaluate(
             () => document.querySelector("#node-rows tr:nth-child(3)").probe === "kept"),
         "updates rows in place", `${requests.length - before} polls in between`);

  // A peer whose ram is not a number: the node writes null, total included.
  // A second entry with the node's name but another figure is not its echo.
  await peers.delta.start();
  await peers.namesake.start();
  await expectView(page, "shows a null memory figure as n/a and counts a namesake", {
    state: "live", selfHost: "dash-self", nodes: "7", note: "this node and 6 peers",
    total: "n/a",
    reported: "node reports n/a, itself counted twice; a memory figure is not a number",
    rows: [fourPeers[0], echoRow, fourPeers[1], fourPeers[2], fourPeers[3],
           row("peer", "dash-self", "2.0", "3.2%"), row("peer", "delta", "n/a", null),
           fourPeers[4]],
  }, 8_000);
  await screenshot(page, "dashboard-null-ram.png");

  // beta, delta and the namesake fall silent: the node forgets them 12 to 15 s
  // later.
  const silent = [peers.beta, peers.delta, peers.namesake];
  for (const peer of silent) peer.stop();
  const silentSince = Math.max(...silent.map((peer) => peer.lastSent));
  const threePeers = [
    row("self", "dash-self", "8.0", "25.6%"), row("echo", "dash-self", "8.0", "25.6%"),
    row("peer", XSS_HOST, "7.7", "24.6%"), row("peer", "alpha", "15.6", "49.8%"),
    row("peer", QUOTED_HOST, "31.3", "100%"),
  ];
  const left = await expectView(page, "peers that stop announcing disappear", {
    state: "live", selfHost: "dash-self", nodes: "4", note: "this node and 3 peers",
    total: "62.6 GB", reported: "node reports 70.6 GB, itself counted twice",
    rows: threePeers,
  }, 25_000);
  if (left) {
    const seconds = (Date.now() - silentSince) / 1000;
    report(seconds >= 11 && seconds <= 20, "they disappear 12 to 15 s (plus a poll) after going silent",
           `${seconds.toFixed(1)} s`);
  }

  await stopNode();
  const [down, downView] = await waitForView(
      page, (v) => [v.state, v.problemShown, v.problemTitle],
      ["unreachable", true, "Node not reachable"], 6_000);
  report(down, "shows the unreachable state when the node stops", JSON.stringify(downView));
  await screenshot(page, "dashboard-unreachable.png");

  // Something else answers on the port with a document that is not JSON.
  const impostor = net.createServer((socket) => {
    socket.once("data", () => {
      const body = '{"self":{"host":"a"b","ram":8.0},"peers":[],"total_ram":8.0}';
      socket.end("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                 body.length + "\r\nAccess-Control-Allow-Origin: *\r\n\r\n" + body);
    });
  });
  impostor.listen(47833, "127.0.0.1");
  await once(impostor, "listening");
  const [unreadable, unreadableView] = await waitForView(
      page, (v) => [v.state, v.problemShown, v.problemTitle],
      ["unreadable", true, "Unreadable answer"], 6_000);
  report(unreadable, "says so when the answer is not a status document",
         JSON.stringify(unreadableView));
  impostor.close();
  await once(impostor, "close");

  report(await startNode(), "node restarts");
  await expectView(page, "recovers when the node answers again", {
    state: "live", selfHost: "dash-self", nodes: "4", note: "this node and 3 peers",
    total: "62.6 GB", reported: "node reports 70.6 GB, itself counted twice",
    rows: threePeers,
  }, 8_000);
  const [bannerGone] = await waitForView(page, (v) => v.problemShown, false, 1_000);
  report(bannerGone, "hides the problem banner after recovery");

  report(dialogs.length === 0, "no dialog opened", JSON.stringify(dialogs));
  report(pageErrors.length === 0, "no script error", JSON.stringify(pageErrors));
  report(policyViolations.length === 0, "no content-security-policy violation",
         JSON.stringify(policyViolations));
  const foreign = [...new Set(requests.map((r) => r.url))]
      .filter((url) => url !== PAGE_URL && url !== STATUS_URL);
  report(foreign.length === 0, "requests nothing but the page and the node",
         JSON.stringify(foreign));
} catch (error) {
  report(false, "dashboard test ran to the end", String(error && error.stack || error));
} finally {
  clearTimeout(watchdog);
  for (const peer of Object.values(peers)) peer.stop();
  if (context !== null) await context.close().catch(() => {});
  await stopNode();
  fs.rmSync(scratch, { recursive: true, force: true });
}

process.exit(failed === 0 ? 0 : 1);
