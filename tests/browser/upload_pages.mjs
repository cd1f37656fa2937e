// Drives headless Chromium over its DevTools protocol through both send-file pages of a
// running share server: one file through the form page, then several at once through the
// multi-file page, with a screenshot while the progress boxes move. Needs only node (run
// with --experimental-websocket on node 20) and the system's chromium.
//
// usage: node --experimental-websocket upload_pages.mjs PORT SCREENSHOT FORM_FILE MULTI_FILE...
// Prints one JSON line: {"form": {...}, "multi": {...}}; exits non-zero on a failure.
import { spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const [port, screenshotPath, formFile, ...multiFiles] = process.argv.slice(2);
const base = `http://127.0.0.1:${port}`;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function launch() {
    const profile = mkdtempSync(join(tmpdir(), "wexa-chromium-"));
    const browser = spawn("/usr/bin/chromium", [
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--no-proxy-server", "--window-size=900,700", `--user-data-dir=${profile}`,
        "--remote-debugging-port=0", "about:blank",
    ], { stdio: ["ignore", "ignore", "ignore"] });
    return { browser, profile };
}

async function devtoolsUrl(profile) {
    const file = join(profile, "DevToolsActivePort");
    for (let i = 0; i < 300; i++) {
        if (existsSync(file)) {
            const [p, path] = readFileSync(file, "utf8").split("\n");
            if (p && path) return `ws://127.0.0.1:${p}${path}`;
        }
        await sleep(100);
    }
    throw new Error("chromium did not open its DevTools port");
}

// One browser connection; commands go to the page's session once attached.
class Cdp {
    constructor(url) {
        this.ws = new WebSocket(url);
        this.next = 1;
        this.pending = new Map();
        this.listeners = [];
        this.ws.onmessage = (event) => {
            const msg = JSON.parse(event.data);
            if (msg.id && this.pending.has(msg.id)) {
                const { resolve, reject } = this.pending.get(msg.id);
                this.pending.delete(msg.id);
                if (msg.error) reject(new Error(JSON.stringify(msg.error)));
                else resolve(msg.result);
            } else if (msg.method) {
                for (const l of this.listeners) l(msg);
            }
        };
    }
    open() {
        return new Promise((resolve, reject) => {
            this.ws.onopen = resolve;
            this.ws.onerror = reject;
        });
    }
    send(method, params = {}, sessionId = this.sessionId) {
        const id = this.next++;
        const msg = { id, method, params };
        if (sessionId) msg.sessionId = sessionId;
        this.ws.send(JSON.stringify(msg));
        return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject }));
    }
    waitEvent(method, timeoutMs = 60000) {
        return new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error(`no ${method}`)), timeoutMs);
            const l = (msg) => {
                if (msg.method === method && msg.sessionId === this.sessionId) {
                    clearTimeout(timer);
                    this.listeners.splice(this.listeners.indexOf(l), 1);
                    resolve(msg.params);
                }
            };
            this.listeners.push(l);
        });
    }
    async evaluate(expression) {
        const r = await this.send("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
        if (r.exceptionDetails) throw new Error(`${expression}: ${JSON.stringify(r.exceptionDetails)}`);
        return r.result.value;
    }
    async navigate(url) {
        const loaded = this.waitEvent("Page.loadEventFired");
        await this.send("Page.navigate", { url });
        await loaded;
    }
    async setFiles(expression, files) {
        const r = await this.send("Runtime.evaluate", { expression });
        await this.send("DOM.setFileInputFiles", { files, objectId: r.result.objectId });
    }
    async until(expression, timeoutMs, what) {
        const deadline = Date.now() + timeoutMs;
        while (Date.now() < deadline) {
            if (await this.evaluate(expression)) return;
            await sleep(50);
        }
        throw new Error(`timed out waiting for ${what}: ${await this.evaluate("document.body.innerText")}`);
    }
}

async function run() {
    const { browser, profile } = launch();
    let cdp;
    try {
        cdp = new Cdp(await devtoolsUrl(profile));
        await cdp.open();
        const { targetId } = await cdp.send("Target.createTarget", { url: "about:blank" });
        const { sessionId } = await cdp.send("Target.attachToTarget", { targetId, flatten: true });
        cdp.sessionId = sessionId;
        await cdp.send("Page.enable");
        await cdp.send("Runtime.enable");
        await cdp.send("DOM.enable");

        // The form page: one file, one POST, the answer page replaces the form.
        await cdp.navigate(`${base}/send_file_form/`);
        await cdp.setFiles("document.querySelector('input[type=file]')", [formFile]);
        const answered = cdp.waitEvent("Page.loadEventFired");
        await cdp.evaluate("document.forms[0].submit()");
        await answered;
        const form = {
            title: await cdp.evaluate("document.title"),
            text: await cdp.evaluate("document.body.innerText"),
        };

        // The multi-file page: every file chosen at once; sending is slowed so that the
        // progress boxes can be seen (and photographed) while they move.
        await cdp.send("Network.enable");
        await cdp.send("Network.emulateNetworkConditions", {
            offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 2 * 1024 * 1024,
        });
        await cdp.navigate(`${base}/send_file_swf/`);
        await cdp.until("typeof swfu === 'object' && !!swfu.fileInput", 20000, "the uploader");
        await cdp.setFiles("swfu.fileInput", multiFiles);
        // Once a second the status line gains the percentage and the time remaining.
        await cdp.until(
            "[...document.querySelectorAll('.progressContainer.green .progressBarStatus')]" +
            ".some(e => e.textContent.includes('remaining'))", 60000, "a moving progress box");
        const shot = await cdp.send("Page.captureScreenshot", { format: "png" });
        writeFileSync(screenshotPath, Buffer.from(shot.data, "base64"));
        const midUpload = {
            boxes: await cdp.evaluate("document.querySelectorAll('#fsUploadProgress .progressWrapper').length"),
            statuses: await cdp.evaluate(
                "[...document.querySelectorAll('.progressBarStatus')].map(e => e.textContent)"),
        };
        await cdp.until("document.getElementById('divStatus').textContent !== '0 files sent.'", 300000,
            "the queue to finish");
        const multi = {
            midUpload,
            status: await cdp.evaluate("document.getElementById('divStatus').textContent"),
            statuses: await cdp.evaluate(
                "[...document.querySelectorAll('.progressBarStatus')].map(e => e.textContent)"),
            cancelDisabled: await cdp.evaluate("document.getElementById('btnCancel').disabled"),
        };
        console.log(JSON.stringify({ form, multi }));
    } finally {
        if (cdp) cdp.ws.close();
        browser.kill();
        await new Promise((r) => browser.exitCode !== null ? r() : browser.once("exit", r));
        // Chromium's helper processes may still be writing to the profile for a moment.
        try {
            rmSync(profile, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
        } catch (e) {
            console.error(`left the profile ${profile}: ${e.message}`);
        }
    }
}

run().then(() => process.exit(0), (e) => {
    console.error(String(e && e.stack || e));
    process.exit(1);
});
