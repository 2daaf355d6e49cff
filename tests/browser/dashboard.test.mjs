// The dashboard in headless Chromium against a real server: sign-in, raising
// an exercise through the preview with a retried send, receipts arriving from
// simulated agents, cancellation, a live incident with typed confirmations
// and its stand-down, the auditor's read-only view, the audit chain checked
// in the browser (and a tampered entry found), refusals shown in the
// service's own words, oversight and administration pages, zoom and keyboard
// use, and no console error or CSP violation on any page.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {after, before, describe, test} from 'node:test';

import {
  agentPoll, agentReceipt, apiCall, makeConfig, nextPoll, openBrowser, screenshot, signIn, startServer,
} from './support.mjs';

const LIVE_CAPABILITY = 'live-desktop-v2';

async function withBrowser(options, body) {
  const browser = await openBrowser(options);
  try {
    await body(browser);
    assert.deepEqual(await browser.check(), [], 'no console errors, page errors, failed files or CSP violations');
  } finally {
    await browser.close();
  }
}

// The composer's controls; other pages have fields with the same labels.
function composer(page) {
  const view = page.locator('#view-raise');
  return {
    view,
    field: (label) => view.getByLabel(label, {exact: true}),
    check: (name) => view.getByRole('checkbox', {name, exact: true}).check(),
    kind: (name) => view.getByRole('radio', {name}).check(),
  };
}

async function fillExercise(page, {title, body, sites}) {
  const c = composer(page);
  await c.kind(/^Exercise/);
  await c.field('Title').fill(title);
  await c.field('Message').fill(body);
  for (const site of sites) await c.check(site);
}

function alertCard(page, title) {
  return page.locator('article.alert-card').filter({has: page.getByRole('heading', {name: title, exact: true})});
}

async function raiseByApi(server, token, title, key) {
  const result = await apiCall(server, token, 'POST', '/api/alerts',
    {test: true, title, body: 'Background exercise', severity: 'ticker', ttl_minutes: 30, channels: ['desktop'],
      sites: ['South']}, {'Idempotency-Key': key});
  assert.equal(result.status, 201, JSON.stringify(result.data));
  return result.data.id;
}

// Starts one installation (makeConfig's, changed by `adjust`) for the
// enclosing describe block and stops it afterwards; its server and tokens
// are on the returned object once the block's tests run.
function installation(options = {}, adjust = () => {}) {
  const running = {server: null, tokens: null};
  before(async () => {
    const made = makeConfig(options);
    adjust(made.config);
    running.tokens = made.tokens;
    running.server = await startServer(made.config);
  });
  after(async () => { if (running.server) await running.server.stop(); });
  return running;
}

describe('exercise installation', () => {
  const running = installation();

  test('sign-in shows the refusal verbatim, keeps the token out of the address and signs out', async () => {
    await withBrowser({}, async ({page}) => {
      const requested = [];
      page.on('request', (r) => requested.push(r.url() + ' ' + JSON.stringify(r.headers())));
      await page.goto(running.server.url + '/');
      await screenshot(page, '01-sign-in');
      await page.getByLabel('Access token').fill('not-a-real-token');
      await page.getByRole('button', {name: 'Sign in', exact: true}).click();
      const refusal = await apiCall(running.server, 'not-a-real-token', 'GET', '/api/state');
      await assert.doesNotReject(page.locator('#signin-error', {hasText: refusal.data.error}).waitFor());
      assert.equal(await page.locator('#signin-error').innerText(), refusal.data.error);

      await page.getByLabel('Access token').fill(running.tokens.operator);
      await page.getByRole('button', {name: 'Sign in', exact: true}).click();
      await page.locator('#mode-text', {hasText: 'EXERCISE ONLY'}).waitFor();
      assert.match(await page.locator('#session-bar').innerText(), /Test Operator/);
      assert.equal(await page.evaluate(() => sessionStorage.getItem('halvenor.token')), running.tokens.operator);
      assert.equal(await page.evaluate(() => localStorage.length), 0);
      assert.ok(!page.url().includes(running.tokens.operator));
      assert.ok(requested.every((r) => !r.split(' ')[0].includes(running.tokens.operator)), 'token never in a URL');
      assert.ok(requested.some((r) => r.includes('"authorization":"Bearer ' + running.tokens.operator + '"')));

      // Reloading the tab keeps the session; signing out forgets it.
      await page.reload();
      await page.locator('#mode-text', {hasText: 'EXERCISE ONLY'}).waitFor();
      await page.getByRole('button', {name: 'Sign out'}).click();
      await page.getByLabel('Access token').waitFor();
      assert.equal(await page.evaluate(() => sessionStorage.getItem('halvenor.token')), null);
    });
  });

  test('an exercise is previewed, sent once despite a lost reply, receipts arrive and it is cancelled', async () => {
    // Older alerts below the new one make the list long enough to scroll.
    for (let i = 1; i <= 4; i++) await raiseByApi(running.server, running.tokens.operator, `Background exercise ${i}`, `background-${i}-key`);

    await withBrowser({}, async ({page, expectedFailures}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Raise alert'}).click();
      await page.getByRole('heading', {name: 'Raise an alert'}).waitFor();

      // Nothing is chosen for the operator: the service's refusal is shown word for word.
      const c = composer(page);
      await c.field('Title').fill('Evacuation drill');
      await c.field('Message').fill('Leave by the nearest exit.');
      await c.check('North Hospital');
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      const noKind = await apiCall(running.server, running.tokens.operator, 'POST', '/api/preview',
        {title: 'Evacuation drill', body: 'Leave by the nearest exit.', severity: 'critical', ttl_minutes: 30,
          channels: ['desktop'], sites: ['North'], departments: [], groups: []});
      assert.equal(noKind.status, 400);
      await page.locator('#compose-error', {hasText: noKind.data.error}).waitFor();
      assert.equal(await page.locator('#compose-error').innerText(), noKind.data.error);

      // Live counters of the limits.
      assert.match(await page.locator('#title-count').innerText(), /^16 of 100 characters/);

      await fillExercise(page, {title: 'Evacuation drill', body: 'Leave by the nearest exit.', sites: []});
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      await page.getByRole('heading', {name: 'Check before sending'}).waitFor();
      assert.match(await page.locator('#preview-counts').innerText(), /2 deliveries in total/);
      assert.match(await page.locator('#preview-kind').innerText(), /EXERCISE/);
      // No agent has polled yet: the computer is named as silent before sending.
      assert.match(await page.locator('#preview-coverage').innerText(), /^0 of 2 receiving computers checked in.*2 silent/);
      await page.locator('#preview-coverage summary').click();
      assert.match(await page.locator('#preview-coverage').innerText(), /North Emergency PC 1 .*never seen/);
      await page.locator('#preview-recipients summary').click();
      assert.match(await page.locator('#preview-recipient-list').innerText(), /North Emergency PC 1/);
      await screenshot(page, '02-raise-preview');

      // The first send reaches the service but its reply is lost; the retry
      // carries the same Idempotency-Key and creates nothing new.
      const keys = [];
      let first = true;
      expectedFailures.add('/api/alerts');
      await page.route('**/api/alerts', async (route) => {
        keys.push(route.request().headers()['idempotency-key']);
        if (first) {
          first = false;
          await route.fetch();
          await route.abort('connectionreset');
        } else {
          await route.continue();
        }
      });
      await page.getByRole('button', {name: 'Send exercise'}).click();
      await page.locator('#send-error', {hasText: 'could not be reached'}).waitFor();
      await page.getByRole('button', {name: 'Send exercise'}).click();
      await page.locator('#alerts-flash', {hasText: 'Exercise sent: Evacuation drill.'}).waitFor();
      await page.unroute('**/api/alerts');
      assert.equal(keys.length, 2);
      assert.match(keys[0], /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$/);
      assert.equal(keys[1], keys[0]);
      const state = await apiCall(running.server, running.tokens.operator, 'GET', '/api/state');
      const drills = state.data.alerts.filter((a) => a.title === 'Evacuation drill');
      assert.equal(drills.length, 1, 'one alert despite two sends');
      const id = drills[0].id;
      // A new alert gets a new key.
      assert.notEqual(await page.evaluate(() => window.Halvenor.composeKey()), keys[0]);

      // Receipts from the simulated agents arrive on the dashboard by polling.
      const card = alertCard(page, 'Evacuation drill');
      await card.waitFor();
      await card.locator('.chip', {hasText: 'Waiting for computer: 2'}).waitFor();
      const polled = await agentPoll(running.server, running.tokens['pc-1']);
      assert.ok(JSON.stringify(polled).includes(id));
      for (const event of ['received', 'displayed', 'acknowledged']) await agentReceipt(running.server, running.tokens['pc-1'], id, event);
      await agentPoll(running.server, running.tokens['pc-4']);
      await agentReceipt(running.server, running.tokens['pc-4'], id, 'received');
      await card.locator('.ack-line', {hasText: '1 of 2 acknowledged'}).waitFor();
      await card.locator('.chip', {hasText: 'Received: 1'}).waitFor();

      // Open panels and the scroll position survive the next polls.
      await card.locator('summary', {hasText: 'Deliveries and recipients (2)'}).click();
      await card.getByRole('rowheader', {name: /North Security PC/}).waitFor();
      const background = alertCard(page, 'Background exercise 2');
      await background.locator('summary').click();
      await background.scrollIntoViewIfNeeded();
      const scrolled = await page.evaluate(() => window.scrollY);
      assert.ok(scrolled > 0, 'the list scrolls');
      await nextPoll(page);
      await nextPoll(page);
      assert.equal(await page.evaluate(() => window.scrollY), scrolled);
      assert.equal(await card.locator('details').evaluate((d) => d.open), true);
      assert.equal(await background.locator('details').evaluate((d) => d.open), true);
      assert.match(await card.locator('details').innerText(), /Acknowledged/);
      await page.evaluate(() => window.scrollTo(0, 0));
      await screenshot(page, '03-alerts-with-receipts');

      // Cancel with confirmation.
      await card.getByRole('button', {name: 'Cancel alert…'}).click();
      await card.getByRole('button', {name: 'Yes, cancel the alert'}).click();
      await card.locator('.badge-state', {hasText: 'Cancelled'}).waitFor();
      await card.locator('.chip', {hasText: 'Cancelled before display: 1'}).waitFor();
      assert.equal(await card.getByRole('button', {name: 'Cancel alert…'}).isVisible(), false);
      assert.doesNotMatch(await card.locator('.alert-meta').first().innerText(), /expires|in \d+ minutes/,
        'a cancelled alert does not count down to expiry');
    });
  });

  test('a template fills the form and a refused alert shows the service\'s message next to the form', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.goto(running.server.url + '/#raise');
      await page.getByRole('heading', {name: 'Raise an alert'}).waitFor();
      const c = composer(page);
      await c.field('Start from a template').selectOption({label: 'Fire drill'});
      assert.equal(await c.field('Title').inputValue(), 'Fire drill');
      assert.equal(await c.field('Expires after (minutes)').inputValue(), '15');
      await c.kind(/^Exercise/);
      await c.check('East Clinic');
      await c.check('Security Control Room');
      assert.equal(await c.view.getByRole('checkbox', {name: 'Departments', exact: true}).count(), 0,
        'no department is called "Departments"');
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      const refused = await apiCall(running.server, running.tokens.operator, 'POST', '/api/preview',
        {test: true, title: 'Fire drill', body: 'This is a fire drill. Follow your local evacuation plan.',
          severity: 'critical', ttl_minutes: 15, channels: ['desktop'], sites: ['East'], departments: ['Security'], groups: []});
      assert.equal(refused.status, 400);
      await page.locator('#compose-error', {hasText: refused.data.error}).waitFor();
      assert.equal(await page.locator('#compose-error').innerText(), refused.data.error);
      await screenshot(page, '04-refusal');
    });
  });

  test('the auditor sees no send controls', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.auditor);
      await page.locator('#who-role', {hasText: 'Auditor, read only'}).waitFor();
      await page.locator('article.alert-card').first().waitFor();
      assert.equal(await page.getByRole('link', {name: 'Raise alert'}).isVisible(), false);
      assert.equal(await page.getByRole('button', {name: /Cancel alert|Conclude incident|Send/}).count(), 0);
      assert.equal(await page.locator('nav [data-needs="admin"]:visible').count(), 0);
      await page.goto(running.server.url + '/#raise');
      await page.getByRole('heading', {name: 'Alerts', exact: true}).waitFor();
      assert.equal(await page.locator('#view-raise').isVisible(), false);
      await screenshot(page, '05-auditor');
    });
  });

  test('receiving computers show last contact and stale ones', async () => {
    await withBrowser({}, async ({page}) => {
      await agentPoll(running.server, running.tokens['pc-2']);
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Receiving computers'}).click();
      const row = (name) => page.getByRole('row').filter({hasText: name});
      await row('South Wards PC').getByText('In contact').waitFor();
      assert.match(await row('East Estates PC').innerText(), /Never polled/);
      assert.match(await page.locator('#computers-summary').innerText(), /4 computers/);
      await screenshot(page, '06-computers');
    });
  });

  test('without a live incident the decision dashboard shows the latest alert in plain words', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Decision dashboard'}).click();
      const result = page.locator('#decision-result');
      await result.getByRole('heading', {name: 'Evacuation drill', exact: true}).waitFor();
      await result.getByRole('note').filter({hasText: 'no live incident'}).waitFor();
      assert.equal(await page.locator('#decision-error').isVisible(), false);
      // The computer that never acknowledged, by name and id.
      await result.getByRole('rowheader', {name: 'North Security PC pc-4'}).waitFor();
      const shown = await result.innerText();
      assert.doesNotMatch(shown, /Is test|Deployment scope|Conclusion of|desktop|_/i);
      assert.doesNotMatch(shown, /\d\.\d{2,}/, 'times are rounded');
      await screenshot(page, '07-decision-dashboard');
    });
  });

  test('history export', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'History export'}).click();
      const download = page.waitForEvent('download');
      await page.getByRole('button', {name: 'Download export'}).click();
      const file = await download;
      assert.match(file.suggestedFilename(), /^halvenor-history-\d{8}-\d{8}\.csv$/);
      await page.locator('#export-result', {hasText: file.suggestedFilename()}).waitFor();

      await page.getByLabel('First day (UTC)').fill('2024-03-02');
      await page.getByLabel('Last day (UTC)').fill('2024-03-01');
      await page.getByRole('button', {name: 'Download export'}).click();
      const refused = await apiCall(running.server, running.tokens.operator, 'POST', '/api/history/export',
        {format: 'csv', from: '2024-03-02', to: '2024-03-01'});
      assert.equal(refused.status, 400);
      await page.locator('#export-error', {hasText: refused.data.error}).waitFor();
      await screenshot(page, '08-history-export');
    });
  });

  test('administration pages are offered only to administrators and show the services\' answers', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      assert.equal(await page.locator('nav [data-needs="admin"]:visible').count(), 0);
      await page.goto(running.server.url + '/#access');
      await page.getByRole('heading', {name: 'Alerts', exact: true}).waitFor();
    });
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      await page.getByRole('link', {name: 'Administration'}).click();
      assert.equal(await page.locator('nav .nav-admin:visible').count(), 4);

      await page.getByRole('link', {name: 'Deployment & certificates'}).click();
      const setup = await apiCall(running.server, running.tokens.admin, 'GET', '/api/setup');
      if (setup.status === 200) await page.locator('#setup-view dl, #setup-view table').first().waitFor();
      else await page.locator('#setup-error', {hasText: setup.data.error}).waitFor();
      await screenshot(page, '09-admin-setup');

      await page.getByRole('link', {name: 'Users & access'}).click();
      const access = await apiCall(running.server, running.tokens.admin, 'GET', '/api/access');
      assert.equal(access.status, 200);
      await page.locator('#access-view').getByRole('cell', {name: 'Test Auditor'}).first().waitFor();
      const shown = await page.locator('main').innerText();
      for (const token of Object.values(running.tokens)) assert.ok(!shown.includes(token), 'no credential is shown');
      // A change the directory refuses: the administrator reads the service's words.
      const accessView = page.locator('#view-access');
      await accessView.getByLabel('What', {exact: true}).selectOption('user');
      await accessView.getByLabel('Change', {exact: true}).selectOption('disable');
      await accessView.getByLabel('Identifier', {exact: true}).fill('nobody-here');
      await page.getByRole('button', {name: 'Apply change'}).click();
      const refused = await apiCall(running.server, running.tokens.admin, 'POST', '/api/access/change',
        {kind: 'user', action: 'disable', id: 'nobody-here'});
      assert.equal(refused.status, 400);
      await page.locator('#access-error', {hasText: refused.data.error}).waitFor();
      assert.equal(await page.locator('#access-error').innerText(), refused.data.error);
      await screenshot(page, '10-admin-access');

      await page.getByRole('link', {name: 'Mobile providers'}).click();
      const list = await apiCall(running.server, running.tokens.admin, 'POST', '/api/mobile/integration', {action: 'list'});
      if (list.status === 200) {
        for (const account of list.data.accounts) {
          await page.locator('#mobile-accounts').getByRole('rowheader', {name: account.id, exact: true}).waitFor();
        }
      } else {
        await page.locator('#mobile-error', {hasText: list.data.error}).waitFor();
      }
      await page.getByLabel('Phone number (international format)').fill('not a number');
      await page.getByRole('button', {name: 'Send test message'}).click();
      await page.locator('#mobile-error').waitFor();
      await screenshot(page, '11-admin-mobile');

      await page.getByRole('link', {name: 'WhatsApp templates'}).click();
      await page.getByRole('heading', {name: 'WhatsApp readiness'}).waitFor();
      await page.getByRole('button', {name: 'Render sample'}).click();
      await page.locator('#whatsapp-sample-output .wa-preview, #whatsapp-sample-output p, #whatsapp-error:visible').first().waitFor();
      await screenshot(page, '12-admin-whatsapp');
    });
  });

  test('an answer to an action far down a page is shown below the mode banner, not under it', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      await page.goto(running.server.url + '/#setup');
      await page.locator('#view-setup').waitFor();
      await page.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
      assert.ok(await page.evaluate(() => window.scrollY) > 0, 'the page scrolls');
      await page.getByRole('button', {name: 'Ask it to trust this server in browsers'}).click();
      const message = page.locator('#setup-error:visible, #setup-result:visible').first();
      await message.waitFor();
      const seen = await message.evaluate((node) => {
        const box = node.getBoundingClientRect();
        const banner = document.getElementById('mode-banner').getBoundingClientRect();
        const top = document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2);
        return {belowBanner: box.top >= banner.bottom - 1, inWindow: box.bottom <= window.innerHeight, onTop: node.contains(top)};
      });
      assert.deepEqual(seen, {belowBanner: true, inWindow: true, onTop: true});
      await screenshot(page, '09b-message-below-banner');
    });
  });

  test('the audit trail is verified in the browser and a tampered entry is found', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.auditor);
      // The browser's canonical number forms match the service's.
      const forms = await page.evaluate(() => [1700000000, 1765203001.25, 0.0001, 0.00001234, 1e16, 123456789012345.6, -2.5, 0]
        .map((x) => window.Halvenor.audit.canonicalDouble(x)));
      assert.deepEqual(forms, ['1700000000.0', '1765203001.25', '0.0001', '1.234e-05', '1e+16', '123456789012345.6', '-2.5', '0.0']);
      assert.equal(await page.evaluate(() => window.Halvenor.audit.canonical({b: 'é"\\/\n', a: ['𝄞', null, true]})),
        '{"a":["\\ud834\\udd1e",null,true],"b":"\\u00e9\\"\\\\/\\n"}');

      await page.getByRole('link', {name: 'Audit trail'}).click();
      await page.locator('#audit-verdict', {hasText: 'Chain verified'}).waitFor();
      const rows = (await apiCall(running.server, running.tokens.auditor, 'GET', '/api/audit')).data;
      assert.ok(rows.length >= 8);
      assert.match(await page.locator('#audit-verdict').innerText(), new RegExp(`all ${rows.length} entries`));
      await page.getByLabel('Entries per page').selectOption('25');
      await screenshot(page, '13-audit-verified');

      execFileSync('sqlite3', [running.server.db, `UPDATE audit SET detail='{"tampered":true}' WHERE seq=${rows[2].seq}`]);
      await page.getByRole('button', {name: 'Reload and verify'}).click();
      await page.locator('#audit-verdict', {hasText: 'Chain broken'}).waitFor();
      assert.match(await page.locator('#audit-verdict').innerText(), new RegExp(`entry ${rows[2].seq},`));
      await page.getByLabel('Filter by actor or event').fill(rows[2].event);
      await page.locator('#audit-table tr.row-broken').first().waitFor();
      await screenshot(page, '14-audit-broken');
    });
  });
});

describe('live installation', () => {
  const running = installation({live: true});

  test('a live incident needs its typed confirmation and is stood down with CONCLUDE INCIDENT', async () => {
    // The addressed computers announce live-capable agents before the incident.
    await agentPoll(running.server, running.tokens['pc-1'], LIVE_CAPABILITY);
    await agentPoll(running.server, running.tokens['pc-4'], LIVE_CAPABILITY);

    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.locator('#mode-text', {hasText: 'DEMONSTRATION'}).waitFor();
      await page.getByRole('link', {name: 'Raise alert'}).click();
      const c = composer(page);
      await c.kind(/^Live incident/);
      await c.field('Title').fill('Power failure, North');
      await c.field('Message').fill('Switch to generator procedures.');
      await c.field('Incident reference').fill('Réf ☃ 𝄞 MI-42');
      await c.check('North Hospital');
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      await page.getByRole('heading', {name: 'Check before sending'}).waitFor();
      assert.match(await page.locator('#preview-kind').innerText(), /LIVE INCIDENT/);
      const send = page.getByRole('button', {name: 'Send live incident'});
      assert.equal(await send.isDisabled(), true);
      const confirm = page.getByLabel(/Type SEND LIVE ALERT/);
      await confirm.fill('send live alert');
      assert.equal(await send.isDisabled(), true);
      await confirm.fill('SEND LIVE ALERT');
      assert.equal(await send.isDisabled(), false);
      await screenshot(page, '15-live-confirmation');

      // Changing the alert after the preview withdraws the preview.
      await c.field('Message').fill('Switch to generator procedures now.');
      assert.equal(await page.locator('#preview-panel').isVisible(), false);
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      await page.getByLabel(/Type SEND LIVE ALERT/).fill('SEND LIVE ALERT');
      await page.getByRole('button', {name: 'Send live incident'}).click();
      await page.locator('#alerts-flash', {hasText: 'Live incident sent'}).waitFor();

      const card = alertCard(page, 'Power failure, North');
      await card.locator('.badge', {hasText: 'LIVE INCIDENT'}).waitFor();
      const polled = await agentPoll(running.server, running.tokens['pc-1'], LIVE_CAPABILITY);
      const incidentId = JSON.stringify(polled).match(/"id": ?"([0-9a-f-]{36})"/)[1];
      for (const event of ['received', 'displayed', 'acknowledged']) await agentReceipt(running.server, running.tokens['pc-1'], incidentId, event);
      await card.locator('.ack-line', {hasText: '1 of 2 acknowledged'}).waitFor();

      await card.getByRole('button', {name: 'Conclude incident…'}).click();
      const standDown = card.getByRole('button', {name: 'Send stand-down'});
      assert.equal(await standDown.isDisabled(), true);
      await card.getByLabel(/Type CONCLUDE INCIDENT/).fill('CONCLUDE INCIDENT');
      await standDown.click();
      const standDownCard = alertCard(page, 'Stand-down: Power failure, North');
      await standDownCard.locator('.badge', {hasText: 'STAND-DOWN'}).waitFor();
      await card.locator('.badge-state', {hasText: 'Concluded'}).waitFor();
      assert.deepEqual(await card.locator('.badge-state').allInnerTexts(), ['Concluded'], 'one state per card');
      assert.equal(await card.getByRole('button', {name: 'Conclude incident…'}).isVisible(), false);
      assert.equal(await standDownCard.getByRole('button', {name: 'Conclude incident…'}).isVisible(), false);
      await page.evaluate(() => window.scrollTo(0, 0));
      await screenshot(page, '16-live-stood-down');

      // The chain, now holding escaped non-ASCII text, still verifies here.
      await page.getByRole('link', {name: 'Audit trail'}).click();
      await page.locator('#audit-verdict', {hasText: 'Chain verified'}).waitFor();
    });
  });
});

describe('fresh installation', () => {
  const running = installation({}, (config) => {
    Object.assign(config, {sites: [], site_labels: {}, devices: [], contacts: [], groups: []});
  });

  test('the administrator sees a getting-started checklist until every step is done', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      const steps = page.locator('#getting-started li');
      await page.getByRole('heading', {name: 'Getting started'}).waitFor();
      const status = await steps.locator('.chip').allInnerTexts();
      assert.equal(status.length, 4);
      assert.ok(status.every((text) => /To do/.test(text)), status.join(', '));
      await screenshot(page, '00-getting-started');

      const change = (body) => apiCall(running.server, running.tokens.admin, 'POST', '/api/access/change', body);
      assert.equal((await change({kind: 'site', action: 'add', name: 'North', label: 'North Hospital'})).status, 200);
      const added = await change({kind: 'device', action: 'add', entry: {id: 'pc-9', display_name: 'Ward PC', site: 'North', department: 'Wards'}});
      assert.equal(added.status, 200, JSON.stringify(added.data));
      await agentPoll(running.server, JSON.stringify(added.data).match(/"token": ?"([^"]+)"/)[1]);
      const exercise = await apiCall(running.server, running.tokens.admin, 'POST', '/api/alerts',
        {test: true, title: 'First exercise', body: 'Exercise only.', severity: 'ticker', ttl_minutes: 5, channels: ['desktop'],
          sites: ['North']}, {'Idempotency-Key': 'first-exercise-key'});
      assert.equal(exercise.status, 201, JSON.stringify(exercise.data));
      await page.getByRole('button', {name: 'Mark as done'}).click();
      await page.locator('#getting-started').waitFor({state: 'hidden'});
    });
  });

  test('a receiving computer is added and removed through a labelled form with the refusal beside its field', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      await page.goto(running.server.url + '/#access');
      const form = page.locator('#access-form');
      await page.locator('#access-view').getByRole('cell', {name: 'Ward PC'}).waitFor();
      await form.getByLabel('What', {exact: true}).selectOption('device');
      await form.getByLabel('Change', {exact: true}).selectOption('add');
      await form.getByLabel('Identifier', {exact: true}).fill('ward-7');
      await form.getByLabel('Name shown').fill('Ward 7 desk');
      await page.getByRole('button', {name: 'Apply change'}).click();
      const refused = await apiCall(running.server, running.tokens.admin, 'POST', '/api/access/change',
        {kind: 'device', action: 'add', entry: {id: 'ward-7', display_name: 'Ward 7 desk'}});
      assert.equal(refused.status, 400);
      await page.locator('#access-f-site-error', {hasText: refused.data.error}).waitFor();
      assert.ok(!(await form.getByLabel('Department', {exact: true}).locator('option').allInnerTexts()).includes('Departments'));

      await form.getByLabel('Site', {exact: true}).selectOption({label: 'North Hospital'});
      await form.getByLabel('Department', {exact: true}).selectOption({label: 'Wards'});
      await page.getByRole('button', {name: 'Apply change'}).click();
      await page.locator('#access-result', {hasText: 'Change applied.'}).waitFor();
      await screenshot(page, '19-access-form');

      const removed = async () => (await apiCall(running.server, running.tokens.admin, 'GET', '/api/access')).data.devices
        .find((d) => d.id === 'ward-7').removed === true;
      await page.locator('#access-view tr', {hasText: 'Ward 7 desk'}).getByRole('button', {name: 'Remove…'}).click();
      await page.getByRole('button', {name: 'Apply change'}).click();
      await page.locator('#access-confirm', {hasText: 'Remove the receiving computer "ward-7"?'}).waitFor();
      assert.equal(await removed(), false, 'nothing is removed before the confirmation');
      await page.getByRole('button', {name: 'Yes, remove'}).click();
      await page.locator('#access-result', {hasText: 'Change applied.'}).waitFor();
      assert.equal(await removed(), true);
    });
  });
});

describe('every page', () => {
  const running = installation();

  test('public pages load without console errors or CSP violations', async () => {
    await withBrowser({}, async ({page}) => {
      for (const file of ['/help.html', '/mobile-provider-help.html', '/legal/index.html', '/third-party.html', '/acknowledge', '/']) {
        await page.goto(running.server.url + file);
        await page.waitForLoadState('networkidle');
      }
      for (const link of ['/help.html', '/mobile-provider-help.html', '/legal/index.html', '/third-party.html']) {
        assert.equal(await page.locator(`footer a[href="${link}"]`).count(), 1, link);
      }
    });
  });

  test('before any alert the decision dashboard says what it will show, not an error', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Decision dashboard'}).click();
      await page.locator('#decision-result', {hasText: 'No alert or incident has been sent yet.'}).waitFor();
      assert.equal(await page.locator('#decision-error').isVisible(), false);
    });
  });

  test('at 1366×768 the navigation stays on one line and no table button is cut off', async () => {
    await withBrowser({viewport: {width: 1366, height: 768}}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      for (const view of ['alerts', 'setup', 'access', 'mobile']) {
        await page.goto(running.server.url + '/#' + view);
        await page.locator(`#view-${view}`).waitFor();
        await page.waitForLoadState('networkidle');
        if (view === 'mobile') await page.locator('#mobile-accounts table').waitFor();
        const seen = await page.evaluate(() => {
          const main = Array.from(document.querySelectorAll('#main-nav > ul:first-child > li')).filter((li) => li.offsetParent);
          const cut = Array.from(document.querySelectorAll('.table-wrap button')).filter((b) => b.offsetParent).filter((b) => {
            const box = b.getBoundingClientRect();
            return box.right > b.closest('.table-wrap').getBoundingClientRect().right + 1 || b.scrollWidth > b.clientWidth + 1;
          }).map((b) => b.textContent);
          return {navLines: new Set(main.map((li) => Math.round(li.getBoundingClientRect().top))).size, cut};
        });
        assert.deepEqual(seen, {navLines: 1, cut: []}, view);
      }
      await screenshot(page, '18-mobile-1366');
    });
  });

  test('the dashboard is keyboard operable, labelled and readable at 200% zoom', async () => {
    await withBrowser({viewport: {width: 640, height: 360}, deviceScaleFactor: 2}, async ({page}) => {
      await page.goto(running.server.url + '/');
      // The token field has the focus at once; the skip link is just before it.
      await page.waitForFunction(() => document.activeElement && document.activeElement.id === 'signin-token');
      await page.keyboard.press('Shift+Tab');
      assert.equal(await page.evaluate(() => document.activeElement.className), 'skip-link');
      await page.keyboard.press('Tab');
      assert.equal(await page.evaluate(() => document.activeElement.id), 'signin-token');
      await page.keyboard.type(running.tokens.admin);
      await page.keyboard.press('Enter');
      await page.locator('#mode-banner').waitFor();

      for (const view of ['alerts', 'raise', 'computers', 'decision', 'audit', 'export', 'setup', 'access', 'mobile', 'whatsapp']) {
        await page.goto(running.server.url + '/#' + view);
        await page.locator(`#view-${view}`).waitFor();
        await page.waitForLoadState('networkidle');
        const unlabelled = await page.evaluate(() => Array.from(document.querySelectorAll('input, select, textarea, button'))
          .filter((e) => e.offsetParent !== null)
          .filter((e) => !(e.labels && e.labels.length) && !e.getAttribute('aria-label') && !(e.tagName === 'BUTTON' && e.textContent.trim()))
          .map((e) => e.outerHTML.slice(0, 80)));
        assert.deepEqual(unlabelled, [], `every control on ${view} has a label`);
        const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
        assert.ok(overflow <= 0, `no sideways scrolling on ${view} at 200% zoom (${overflow}px)`);
      }
      await page.goto(running.server.url + '/#raise');
      await page.locator('#view-raise').waitFor();
      await screenshot(page, '17-raise-zoom-200');

      // Focus is visible where the keyboard puts it.
      await composer(page).view.getByRole('radio', {name: /^Exercise/}).focus();
      await page.keyboard.press('Tab');
      const outline = await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
      assert.notEqual(outline, 'none');
    });
  });
});

describe('directory import', () => {
  const running = installation();

  test('a CSV file of thousands of rows is previewed with its errors and imported only when clean', async () => {
    const rows = (site) => Array.from({length: 2500}, (_, i) => `computer,bulk-${i},Ward desk ${i},${site},Wards`);
    const file = (lines) => ({name: 'computers.csv', mimeType: 'text/csv',
      buffer: Buffer.from(['kind,id,display_name,site,department', ...lines].join('\r\n') + '\r\n')});
    const deviceCount = async () => (await apiCall(running.server, running.tokens.admin, 'GET', '/api/access')).data.devices.length;
    const before = await deviceCount();

    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      await page.goto(running.server.url + '/#access');
      const bulk = page.locator('#access-bulk');
      const bad = rows('North');
      bad[1700] = 'computer,bulk-1700,Ward desk,Atlantis,Wards';
      await bulk.getByLabel('CSV file to check').setInputFiles(file(bad));
      await bulk.locator('#access-bulk-summary', {hasText: '2499 to add'}).waitFor();
      await bulk.locator('tr', {hasText: 'Unknown site "Atlantis"; add it to the sites first.'}).getByText('1702').waitFor();
      assert.equal(await bulk.getByRole('button', {name: /^Import/}).isVisible(), false);
      assert.equal(await deviceCount(), before, 'a preview writes nothing');

      await bulk.getByLabel('CSV file to check').setInputFiles(file(rows('North')));
      await bulk.getByRole('button', {name: 'Import 2500 entries'}).click();
      await bulk.locator('#access-bulk-summary', {hasText: 'Imported: 2500 added, 0 changed.'}).waitFor();
    });
    assert.equal(await deviceCount(), before + 2500);
    const audit = await apiCall(running.server, running.tokens.admin, 'GET', '/api/audit');
    const events = JSON.stringify(audit.data);
    assert.equal(events.split('access.directory.imported').length - 1, 1, 'one audit event for the whole import');
  });
});

describe('live switch', () => {
  const running = installation({live: true}, (config) => {
    config.users.find((u) => u.id === 'admin').can_send_live = true;
  });

  test('an administrator switches to exercises only at once and back to live only with the typed confirmation', async () => {
    const mode = async () => (await apiCall(running.server, running.tokens.admin, 'GET', '/api/state')).data.mode;
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.admin);
      await page.goto(running.server.url + '/#setup');
      await page.getByRole('button', {name: 'Switch to exercises only'}).click();
      await page.locator('#mode-banner.mode-exercise').waitFor();
      assert.equal(await mode(), 'EXERCISE ONLY');

      const confirmation = page.getByLabel('Type ENABLE LIVE ALERTS to confirm');
      await confirmation.fill('enable live');
      await page.getByRole('button', {name: 'Switch live alerts on'}).click();
      await page.locator('#setup-error', {hasText: 'Type ENABLE LIVE ALERTS to switch live alerts back on.'}).waitFor();
      assert.equal(await mode(), 'EXERCISE ONLY');

      await confirmation.fill('ENABLE LIVE ALERTS');
      await page.getByRole('button', {name: 'Switch live alerts on'}).click();
      await page.getByRole('button', {name: 'Switch to exercises only'}).waitFor();
      assert.notEqual(await mode(), 'EXERCISE ONLY');
    });
  });
});

// Their own installation: the alerts they raise must not become the latest
// alert that other pages' tests expect.
describe('escalation and scheduled drills', () => {
  const running = installation();

  test('an exercise with escalation shows when and how it escalates, and its drill report', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Raise alert'}).click();
      await fillExercise(page, {title: 'Escalating drill', body: 'Acknowledge on screen.', sites: ['North Hospital']});
      const c = composer(page);
      await c.check('Send it by SMS or WhatsApp if too few acknowledge on screen');
      await c.field('After (minutes, 1–60)').fill('3');
      await c.check('Escalate to Incident team');
      await page.getByRole('button', {name: 'Preview recipients'}).click();
      await page.getByRole('heading', {name: 'Check before sending'}).waitFor();
      assert.match(await page.locator('#preview-facts').innerText(),
        /After 3 minutes, unless 80% of computers acknowledged: SMS to Incident team/);
      await page.getByRole('button', {name: 'Send exercise'}).click();
      await alertCard(page, 'Escalating drill').locator('.escalation-pending',
        {hasText: /^Escalates .* by SMS to Incident team if fewer than 80% acknowledge\.$/}).waitFor();
      // The exercise's drill report, as filed for evidence.
      await alertCard(page, 'Escalating drill').getByRole('button', {name: 'Drill report'}).click();
      const report = alertCard(page, 'Escalating drill').locator('.drill-report');
      await report.getByRole('heading', {name: 'Drill report: Escalating drill'}).waitFor();
      assert.match(await report.innerText(), /Not acknowledged\s+North Emergency PC 1 \(/);
      assert.match(await report.innerText(), /Intact: all \d+ entries verify\./);
    });
  });

  test('an exercise is scheduled to repeat weekly and the schedule is cancelled', async () => {
    await withBrowser({}, async ({page}) => {
      await signIn(page, running.server, running.tokens.operator);
      await page.getByRole('link', {name: 'Raise alert'}).click();
      await fillExercise(page, {title: 'Weekly siren test', body: 'Sirens are tested now.', sites: ['South Hospital']});
      const drills = page.locator('#drills-panel');
      await drills.getByLabel('Repeat').selectOption('weekly');
      await drills.getByRole('checkbox', {name: 'Monday'}).check();
      await drills.getByLabel('Time').fill('07:45');
      await drills.getByRole('button', {name: 'Schedule this exercise'}).click();
      const entry = drills.locator('li', {hasText: 'Weekly siren test'});
      await entry.filter({hasText: /Every Monday at 07:45 — next /}).waitFor();
      await entry.getByRole('button', {name: 'Cancel schedule'}).click();
      await entry.filter({hasText: /cancelled/}).waitFor();
    });
  });
});
