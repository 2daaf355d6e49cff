// Test support for the dashboard's browser tests: a real server on a free
// port with a directory written here, simulated desktop agents (plain HTTP
// calls with a device credential), and headless Chromium pages that record
// every console error, page error, failed file and content-security-policy
// violation so each test can require that there were none.
import {spawn} from 'node:child_process';
import crypto from 'node:crypto';
import {mkdtempSync, mkdirSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import {chromium} from 'playwright-core';

export const DIST = process.env.HALVENOR_DIST_DIR;
export const CHROMIUM = process.env.HALVENOR_CHROMIUM || '/usr/bin/chromium';
export const ARTIFACTS = process.env.HALVENOR_ARTIFACTS || path.resolve('../artifacts/browser');

const SERVER_START_TIMEOUT_MS = 30000;
const SERVER_STOP_TIMEOUT_MS = 10000;
export const UI_TIMEOUT_MS = 20000;

if (!DIST) throw new Error('HALVENOR_DIST_DIR must name the build\'s dist/ folder');
mkdirSync(ARTIFACTS, {recursive: true});

export function newToken() {
  return crypto.randomBytes(24).toString('base64url');
}

// The directory every test server uses; `live` switches on live incidents for
// a demonstration ("home_lab") deployment and grants the operator live-send.
export function makeConfig({live = false} = {}) {
  const tokens = {
    operator: newToken(), admin: newToken(), auditor: newToken(),
    'pc-1': newToken(), 'pc-2': newToken(), 'pc-3': newToken(), 'pc-4': newToken(),
  };
  const config = {
    mode: live ? 'controlled_live' : 'test',
    provider: 'mock',
    mobile_providers: {sms: {driver: 'mock'}, whatsapp: {driver: 'mock'}},
    live_desktop: live ? {enabled: true, deployment_scope: 'home_lab'} : {enabled: false},
    sites: ['North', 'South', 'East'],
    site_labels: {North: 'North Hospital', South: 'South Hospital', East: 'East Clinic'},
    users: [
      {id: 'op', role: 'operator', display_name: 'Test Operator', token: tokens.operator,
        can_send_sms: true, can_send_whatsapp: true, can_send_live: live},
      {id: 'admin', role: 'operator', display_name: 'Test Administrator', token: tokens.admin,
        can_send_sms: true, can_send_whatsapp: true, can_manage_users: true},
      {id: 'aud', role: 'auditor', display_name: 'Test Auditor', token: tokens.auditor},
    ],
    devices: [
      {id: 'pc-1', token: tokens['pc-1'], site: 'North', department: 'Emergency Department', display_name: 'North Emergency PC 1'},
      {id: 'pc-2', token: tokens['pc-2'], site: 'South', department: 'Wards', display_name: 'South Wards PC'},
      {id: 'pc-3', token: tokens['pc-3'], site: 'East', department: 'Estates', display_name: 'East Estates PC'},
      {id: 'pc-4', token: tokens['pc-4'], site: 'North', department: 'Security', display_name: 'North Security PC'},
    ],
    contacts: [
      {id: 'duty-manager', display_name: 'Duty Manager', phone: '+447700900101', channels: ['sms', 'whatsapp'],
        site: 'BOTH', department: 'Command Centre'},
    ],
    groups: [{id: 'incident-team', name: 'Incident team', members: ['pc-1', 'duty-manager']}],
    alert_templates: [
      {name: 'Fire drill', title: 'Fire drill', body: 'This is a fire drill. Follow your local evacuation plan.',
        severity: 'critical', ttl_minutes: 15},
    ],
  };
  return {config, tokens};
}

// Starts dist/server on port 0 with `config`; resolves to {url, db, stop}.
export async function startServer(config) {
  const folder = mkdtempSync(path.join(tmpdir(), 'halvenor-browser-'));
  const configPath = path.join(folder, 'config.json');
  const db = path.join(folder, 'core.sqlite3');
  writeFileSync(configPath, JSON.stringify(config, null, 2), {mode: 0o600});
  const child = spawn(path.join(DIST, 'server'), ['--config', configPath, '--db', db, '--port', '0'],
    {stdio: ['ignore', 'pipe', 'pipe']});
  let output = '';
  const url = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('server did not start: ' + output)), SERVER_START_TIMEOUT_MS);
    const look = (chunk) => {
      output += chunk.toString();
      const match = /(http:\/\/127\.0\.0\.1:\d+)/.exec(output);
      if (match) { clearTimeout(timer); resolve(match[1]); }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', (chunk) => { output += chunk.toString(); });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`server exited (${code}): ${output}`)); });
  });
  child.stdout.resume();
  const exited = new Promise((resolve) => child.on('exit', resolve));
  return {
    url, db, folder,
    async stop() {
      if (child.exitCode === null) {
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), SERVER_STOP_TIMEOUT_MS);
        await exited;
        clearTimeout(timer);
      }
      rmSync(folder, {recursive: true, force: true});
    },
  };
}

// ---------------------------------------------------------------- direct API calls

export async function apiCall(server, token, method, route, body, headers = {}) {
  const init = {method, headers: {Authorization: 'Bearer ' + token, ...headers}};
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(server.url + route, init);
  const text = await response.text();
  let data = null;
  try { data = JSON.parse(text); } catch { data = text; }
  return {status: response.status, data};
}

// A desktop agent's poll; `capability` announces the live-display protocol.
export async function agentPoll(server, token, capability) {
  const headers = capability ? {'X-Halvenor-Agent-Capability': capability} : {};
  const result = await apiCall(server, token, 'GET', '/api/agent/poll', undefined, headers);
  if (result.status !== 200) throw new Error('poll refused: ' + JSON.stringify(result.data));
  return result.data;
}

export async function agentReceipt(server, token, id, event) {
  const result = await apiCall(server, token, 'POST', '/api/agent/receipt', {id, event});
  if (result.status !== 200) throw new Error(`receipt ${event} refused: ` + JSON.stringify(result.data));
}

// ---------------------------------------------------------------- browser

// One fresh browser profile per call, as the tests require.
export async function openBrowser(options = {}) {
  const profile = mkdtempSync(path.join(tmpdir(), 'halvenor-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    viewport: options.viewport || {width: 1280, height: 720},
    deviceScaleFactor: options.deviceScaleFactor || 1,
    acceptDownloads: true,
  });
  context.setDefaultTimeout(UI_TIMEOUT_MS);
  const problems = [];
  const expectedFailures = new Set();
  await context.addInitScript(() => {
    window.__cspViolations = [];
    document.addEventListener('securitypolicyviolation', (e) => {
      window.__cspViolations.push(`${e.violatedDirective} blocked ${e.blockedURI} at ${e.sourceFile}:${e.lineNumber}`);
    });
  });
  const watch = (page) => {
    page.on('console', (message) => {
      if (message.type() !== 'error') return;
      const where = message.location() ? message.location().url || '' : '';
      // The service's refusals of API calls are answers the tests check on the
      // page itself; every other console error is a fault.
      if (/^Failed to load resource/.test(message.text()) && /\/api\//.test(where)) return;
      problems.push(`console error on ${page.url()}: ${message.text()} ${where}`);
    });
    page.on('pageerror', (error) => problems.push(`page error on ${page.url()}: ${error.message}`));
    page.on('response', (response) => {
      const url = new URL(response.url());
      if (response.status() >= 400 && !url.pathname.startsWith('/api/')) {
        problems.push(`${response.status()} for ${url.pathname}`);
      }
    });
    page.on('requestfailed', (request) => {
      const url = new URL(request.url());
      if (url.protocol === 'blob:' || expectedFailures.has(url.pathname)) return;
      problems.push(`request failed: ${url.pathname} ${request.failure() ? request.failure().errorText : ''}`);
    });
  };
  context.on('page', watch);
  const page = context.pages()[0] || await context.newPage();
  watch(page);
  return {
    context, page, problems, expectedFailures,
    // Fails the test on any console error, page error or CSP violation seen.
    async check() {
      for (const p of context.pages()) {
        const violations = await p.evaluate(() => window.__cspViolations || []).catch(() => []);
        violations.forEach((v) => problems.push(`CSP violation on ${p.url()}: ${v}`));
      }
      return problems.slice();
    },
    async close() {
      await context.close();
      rmSync(profile, {recursive: true, force: true});
    },
  };
}

// What the user sees in the window (1280x720 unless the test chose another).
export async function screenshot(page, name) {
  await page.screenshot({path: path.join(ARTIFACTS, name + '.png')});
}

export async function signIn(page, server, token) {
  await page.goto(server.url + '/');
  await page.getByLabel('Access token').fill(token);
  await page.getByRole('button', {name: 'Sign in', exact: true}).click();
  await page.locator('#mode-banner').waitFor({state: 'visible'});
}

// Resolves once the dashboard has applied a /api/state poll newer than now.
export async function nextPoll(page) {
  const before = await page.evaluate(() => window.Halvenor.lastUpdate ? window.Halvenor.lastUpdate.getTime() : 0);
  await page.waitForFunction((t) => window.Halvenor.lastUpdate && window.Halvenor.lastUpdate.getTime() > t, before,
    {timeout: UI_TIMEOUT_MS});
}
