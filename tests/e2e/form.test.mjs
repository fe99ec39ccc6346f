// SPDX-License-Identifier: GPL-3.0-or-later
// The install form in a real browser: Debian's headless Chromium, driven by
// playwright-core, against the `install` program served as CGI by lighttpd.
// run.sh starts the server and passes its whereabouts in E2E_* variables.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';

function setting(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set: run this test through tests/e2e/run.sh`);
  return value;
}

const FORM_URL = setting('E2E_FORM_URL');
const SERVER_URL = setting('E2E_SERVER_URL');
const SERVER_ROOT = setting('E2E_SERVER_ROOT');
const SCRATCH = setting('E2E_SCRATCH');
const PROGRAM = setting('E2E_PROGRAM');
const SCRIPT_NAME = setting('E2E_SCRIPT_NAME');
const SERVER_USER = setting('E2E_SERVER_USER');
const ARTIFACTS = setting('E2E_ARTIFACTS');
// Ports of this test alone (run.sh takes them from the tests' registry).
const [PORT, OTHER_PORT, THIRD_PORT] = setting('E2E_PORTS').split(' ');

const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-quic',
];

// The documentation switch lines of the form, as the program writes them.
const SWITCH = {
  express: [
    '<tr><td rowspan=2><a href=index><img src="../icons/b-clsd.gif" border=2 alt="" width=55 height=26></td>',
    '<td width=100% align=center rowspan=2><b>Express mode</b></td>',
    '<td rowspan=2><a href=index><img src="../icons/b-clsd.gif" border=2 alt="" width=55 height=26></td>',
  ],
  full: [
    '<tr><td rowspan=2><a href=index?0><img src="../icons/b-open.gif" border=2 alt="" width=55 height=26></td>',
    '<td width=100% align=center rowspan=2><b>Full docs</b></td>',
    '<td rowspan=2><a href=index?0><img src="../icons/b-open.gif" border=2 alt="" width=55 height=26></td>',
  ],
};

let context;
let userDataDir;
const offLoopback = [];

before(async () => {
  userDataDir = fs.mkdtempSync(path.join(SCRATCH, 'chromium-profile-'));
  context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: CHROMIUM_ARGS,
    viewport: { width: 1000, height: 760 },
    timeout: 120_000,
  });
  // Generous: a busy machine makes every step of the browser slow.
  context.setDefaultTimeout(60_000);
  // Nothing but the test server is reached; anything else is refused and
  // remembered, so that a page pointing elsewhere fails the last test.
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (url.hostname === '127.0.0.1') return route.continue();
    offLoopback.push(url.href);
    return route.abort();
  });
});

after(async () => {
  try {
    if (context) await context.close();
  } finally {
    if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
  }
});

async function withPage(body) {
  const page = await context.newPage();
  try {
    return await body(page);
  } finally {
    await page.close();
  }
}

// The documentation switch's icons are drawn at the size the form shows them.
const ICON_SIZE = [55, 26];
// The home page's logo likewise (sample/tools/draw-logo.pl).
const LOGO_SIZE = [48, 48];

// Every image of the page as [src, natural width, natural height]: an image
// that failed to load, or a placeholder stretched to size, shows its own
// size here (0 x 0 or 1 x 1), not the size of its <img> element.
function loadedImages(page) {
  return page.$$eval('img', (imgs) => imgs.map((i) => [i.getAttribute('src'), i.naturalWidth, i.naturalHeight]));
}

function shot(page, name) {
  return page.screenshot({ path: path.join(ARTIFACTS, name), fullPage: true });
}

// Runs the program the way a web server would, with QUERY_STRING as given
// (undefined: not in the environment at all); returns the page after the
// CGI header block.
function runDirectly(queryString) {
  const env = {
    PATH: '/usr/local/bin:/usr/bin:/bin',
    REQUEST_METHOD: 'GET',
    BREVIK_ROOT: SERVER_ROOT,
    SERVER_URL,
    SCRIPT_NAME,
  };
  for (const name of ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS']) {
    if (process.env[name]) env[name] = process.env[name];
  }
  if (queryString !== undefined) env.QUERY_STRING = queryString;
  const run = spawnSync(PROGRAM, [], { env, encoding: 'utf8', timeout: 60_000 });
  assert.equal(run.status, 0, `program failed: ${run.stderr}`);
  const end = run.stdout.indexOf('\n\n');
  assert.ok(end > 0, `no CGI header block in: ${run.stdout.slice(0, 200)}`);
  assert.match(run.stdout.slice(0, end), /^Content-type: text\/html$/im);
  return run.stdout.slice(end + 2);
}

function adminServerName() {
  const conf = fs.readFileSync(path.join(SERVER_ROOT, 'admin-server/config/init.conf'), 'utf8');
  return conf.match(/^ServerName\s+(\S+)/m)[1];
}

function uidOf(user) {
  const run = spawnSync('id', ['-u', user], { encoding: 'utf8' });
  assert.equal(run.status, 0, `no user ${user}`);
  return Number(run.stdout.trim());
}

const TEXT_FIELDS = ['servname', 'servport', 'servid', 'servuser', 'mtahost', 'docroot',
  'jmsport', 'jmsadmin', 'jmspassword', 'javahome'];

async function fillForm(page, fields) {
  for (const name of TEXT_FIELDS) {
    if (name in fields) await page.fill(`input[name=${name}]`, fields[name]);
  }
  if (fields.dns) await page.check(`input[name=dns][value=${fields.dns}]`);
}

// Clicks OK and returns the response to the POST, once its page has loaded.
async function submit(page) {
  const [response] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST'),
    page.click('input[type=submit]'),
  ]);
  await page.waitForLoadState('load');
  assert.equal(response.url(), FORM_URL);
  return response;
}

async function errorPage(page) {
  return {
    title: await page.title(),
    heading: await page.textContent('h2'),
    message: await page.textContent('p'),
  };
}

function instanceEntries() {
  return fs.readdirSync(SERVER_ROOT).sort();
}

let expressBody;

test('without a query, lighttpd sets QUERY_STRING empty and the form shows "Express mode"', async () => {
  await withPage(async (page) => {
    const response = await page.goto(FORM_URL);
    assert.equal(response.status(), 200);
    assert.match(response.headers()['content-type'], /^text\/html/);
    expressBody = await response.text();
    const lines = expressBody.split('\n');
    for (const line of SWITCH.express) assert.ok(lines.includes(line), `missing line ${line}`);
    assert.ok(!expressBody.includes('Full docs'));
    // The page is the program's own output for an empty QUERY_STRING.
    assert.equal(expressBody, runDirectly(''));

    assert.equal(await page.isVisible('b:text-is("Express mode")'), true);
    const values = {};
    for (const name of TEXT_FIELDS) {
      values[name] = await page.inputValue(`input[name=${name}]`);
    }
    assert.deepEqual(values, {
      servname: adminServerName(), servport: '80', servid: '', servuser: '', mtahost: 'localhost', docroot: '',
      jmsport: '', jmsadmin: '', jmspassword: '', javahome: '',
    });
    // The password is typed into a field that hides it and never gets a value from the page.
    assert.equal(await page.getAttribute('input[name=jmspassword]', 'type'), 'password');
    assert.equal(await page.getAttribute('input[name=jmspassword]', 'value'), null);
    const dns = await page.$$eval('input[name=dns]', (radios) => radios.map((r) => [r.value, r.checked]));
    assert.deepEqual(dns, [['on', false], ['nolog', false], ['off', true]]);
    const buttons = await page.$$eval('input[type=submit], input[type=reset], input[type=button]',
      (inputs) => inputs.map((i) => [i.type, i.value]));
    assert.deepEqual(buttons, [['submit', '   OK   '], ['reset', ' Reset '], ['button', '  Help  ']]);
    const help = await page.getAttribute('input[type=button]', 'onclick');
    assert.ok(help.includes(`hwin.location='${SERVER_URL}/admin/bin/tutor?index'`), help);
    assert.equal(await page.getAttribute('form', 'action'), 'install');
    // The switch's icons come through the server (../icons/ from /admin/bin/).
    assert.deepEqual(await loadedImages(page), [['../icons/b-clsd.gif', ...ICON_SIZE], ['../icons/b-clsd.gif', ...ICON_SIZE]]);
    await shot(page, 'form-express.png');
  });
});

test('a query in the address (?0, ?a=b) is a set QUERY_STRING too: the same express page', async () => {
  assert.ok(expressBody, 'needs the first test');
  await withPage(async (page) => {
    for (const query of ['?0', '?a=b']) {
      const response = await page.goto(FORM_URL + query);
      assert.equal(response.status(), 200);
      assert.equal(await response.text(), expressBody, `page for ${query}`);
    }
  });
});

test('without QUERY_STRING in its environment the program shows "Full docs" and the help texts', async () => {
  assert.ok(expressBody, 'needs the first test');
  const fullBody = runDirectly(undefined);
  const lines = fullBody.split('\n');
  for (const line of SWITCH.full) assert.ok(lines.includes(line), `missing line ${line}`);
  assert.ok(!fullBody.includes('Express mode'));
  // Full mode keeps the help lines that express mode drops, and nothing else
  // differs but the switch.
  const expressLines = expressBody.split('\n');
  assert.ok(lines.length > expressLines.length, 'full docs shows no more than express mode');
  assert.ok(!fullBody.includes('FULLDOCS'), 'documentation marker left in the page');
  const onlyInExpress = expressLines.filter((l) => !lines.includes(l));
  assert.deepEqual(onlyInExpress, SWITCH.express);
  // Shown in the browser at the form's address, so that the icons load.
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await page.setContent(fullBody, { waitUntil: 'load' });
    assert.equal(await page.isVisible('b:text-is("Full docs")'), true);
    assert.deepEqual(await loadedImages(page), [['../icons/b-open.gif', ...ICON_SIZE], ['../icons/b-open.gif', ...ICON_SIZE]]);
    await shot(page, 'form-full-docs.png');
  });
});

const created = {
  servname: 'www.e2e.test',
  servport: PORT,
  servid: 'e2eweb',
  servuser: SERVER_USER,
  docroot: path.join(SCRATCH, 'docs-e2eweb'),
  dns: 'on',
};

test('a filled form creates the instance and shows the success page', async () => {
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await fillForm(page, created);
    await shot(page, 'form-filled.png');
    const response = await submit(page);
    assert.equal(response.status(), 200);
    const body = await response.text();
    assert.ok(body.includes(`Created new server <b>${created.servname} (${created.servid})</b>, listening to `
      + `<b>port ${created.servport}</b>, and serving documents from the <b>${created.docroot}</b> directory.<p>`),
    body);
    assert.equal(await page.getAttribute('a:text-is("Configure your new server...")', 'href'),
      `/https-${created.servid}/bin/index`);
    // The JMS and Java settings were left out: the page says which, and where.
    const serverXml = path.join(SERVER_ROOT, created.servid, 'config/server.xml');
    assert.equal(await page.isVisible('p.unset'), true);
    assert.equal((await page.textContent('p.unset')).trim(),
      'No value was given for JMS port (%%%JMS_SERVICE_PORT%%%), JMS administrator (%%%JMS_SERVICE_USER_NAME%%%), '
      + 'JMS administrator\'s password (%%%JMS_SERVICE_PASSWORD%%%), Java home (%%%JAVA_HOME%%%): '
      + `${serverXml} keeps the marker of each where its value belongs; replace the markers there before the `
      + 'server uses them.');
    await shot(page, 'success.png');
  });

  const instance = path.join(SERVER_ROOT, created.servid);
  const startserv = fs.statSync(path.join(instance, 'bin/startserv'));
  assert.ok(startserv.isFile() && (startserv.mode & 0o111) !== 0, 'startserv is not an executable file');
  assert.ok(fs.statSync(path.join(instance, 'config')).isDirectory());
  const initConf = fs.readFileSync(path.join(instance, 'config/init.conf'), 'utf8').split('\n');
  for (const line of [`ServerID ${created.servid}`, `ServerName ${created.servname}`,
    `User ${created.servuser}`, 'DNS on']) {
    assert.ok(initConf.includes(line), `init.conf lacks "${line}"`);
  }
  assert.ok(fs.statSync(path.join(created.docroot, 'index.html')).isFile());
  // The instance directory stays its creator's (root's, as root), what it
  // holds goes to the server user.
  const uid = uidOf(created.servuser);
  assert.equal(fs.statSync(instance).uid, process.getuid(), 'instance directory handed over');
  assert.equal(fs.statSync(path.join(instance, 'config')).uid, uid, 'instance not handed to the server user');
  assert.equal(fs.statSync(created.docroot).uid, uid, 'document root not handed to the server user');
});

const jms = {
  jmsport: '7690',
  jmsadmin: 'jmsop',
  jmspassword: 'e2e-pw-&<"\'x',
  javahome: '/usr/lib/jvm/e2e-java',
};

test('the JMS and Java settings typed into the form reach the instance, the password unseen', async () => {
  const done = { ...created, servid: 'e2ejms', servport: '8085', docroot: path.join(SCRATCH, 'docs-e2ejms'), ...jms };
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await fillForm(page, done);
    assert.equal(await page.inputValue('input[name=jmspassword]'), jms.jmspassword);
    await shot(page, 'form-filled-jms.png');
    const response = await submit(page);
    assert.equal(response.status(), 200);
    const body = await response.text();
    assert.ok(body.includes(`Created new server <b>${done.servname} (${done.servid})</b>`), body);
    assert.equal(await page.isVisible('p.unset'), false);
    assert.ok(!body.includes('e2e-pw'), 'the password is shown on the page');
  });
  const xml = fs.readFileSync(path.join(SERVER_ROOT, done.servid, 'config/server.xml'), 'utf8');
  assert.ok(xml.includes('<jms port="7690" admin-user="jmsop" admin-password="e2e-pw-&amp;&lt;&quot;&apos;x"'), xml);
  assert.ok(xml.includes('<java home="/usr/lib/jvm/e2e-java"'), xml);
  assert.ok(!xml.includes('%%%'), xml);
});

test('a JMS port that is no port, or the server port, is refused as the command line refuses it', async () => {
  const before = instanceEntries();
  const cases = [
    ['76x', 'Port Number', 'The value "76x" of JMS port is not a port: give a whole number from 1 to 65535, digits only.'],
    ['8086', 'Server Port', 'The HTTP port and the JMS port are both 8086; they must differ.'],
  ];
  for (const [jmsport, title, message] of cases) {
    await withPage(async (page) => {
      await page.goto(FORM_URL);
      await fillForm(page, { ...created, ...jms, servid: 'e2ebadjms', servport: '8086', jmsport,
        docroot: path.join(SCRATCH, 'docs-badjms') });
      const response = await submit(page);
      assert.deepEqual(await errorPage(page), { title, heading: title, message });
      assert.ok(!(await response.text()).includes('e2e-pw'), 'the password is shown on the error page');
      if (jmsport === '76x') await shot(page, 'error-jms-port.png');
    });
  }
  assert.deepEqual(instanceEntries(), before);
  assert.equal(fs.existsSync(path.join(SCRATCH, 'docs-badjms')), false);
});

test('the new instance\'s home page, and the French one, show the logo in the heading as drawn', async () => {
  assert.ok(fs.existsSync(path.join(created.docroot, 'index.html')), 'needs the creation test');
  const pages = [
    ['home-en', created.docroot, 'It works'],
    ['home-fr', path.join(SERVER_ROOT, 'lib/install/templates/fr'), 'Ça marche'],
  ];
  for (const [name, dir, heading] of pages) {
    // lighttpd serves its htdocs directory; a link there reaches the documents.
    fs.symlinkSync(dir, path.join(SCRATCH, 'htdocs', name));
    await withPage(async (page) => {
      const response = await page.goto(`${SERVER_URL}/${name}/index.html`);
      assert.equal(response.status(), 200);
      assert.equal((await page.textContent('h1')).trim(), heading);
      assert.deepEqual(await loadedImages(page), [['logo.gif', ...LOGO_SIZE]], name);
      // Shown unscaled inside the heading, on the line of its text and
      // before it.
      const layout = await page.$eval('h1', (h1) => {
        const img = h1.querySelector('img');
        const text = document.createRange();
        text.selectNodeContents(h1);
        text.setStartAfter(img);
        const box = (r) => ({ left: r.left, right: r.right, top: r.top, bottom: r.bottom, width: r.width, height: r.height });
        return { img: box(img.getBoundingClientRect()), text: box(text.getBoundingClientRect()) };
      });
      assert.deepEqual([layout.img.width, layout.img.height], LOGO_SIZE, name);
      assert.ok(layout.img.right <= layout.text.left, `${name}: logo not before the heading text: ${JSON.stringify(layout)}`);
      assert.ok(layout.img.top < layout.text.bottom && layout.text.top < layout.img.bottom,
        `${name}: logo not on the heading's line: ${JSON.stringify(layout)}`);
      assert.equal(await page.isVisible('h1 img.logo'), true);
      await shot(page, `${name}.png`);
    });
  }
});

test('a form without the user field gets the "User to run as" error page and creates nothing', async () => {
  const before = instanceEntries();
  const docroot = path.join(SCRATCH, 'docs-nouser');
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await fillForm(page, { ...created, servid: 'e2enouser', docroot });
    // An empty text field is still submitted; only a field that is not in
    // the form at all is missing.
    await page.$eval('input[name=servuser]', (input) => input.remove());
    const response = await submit(page);
    const body = await response.text();
    assert.ok(body.includes('<p>Please specify the user you wish to run your server as.</p>'), body);
    assert.deepEqual(await errorPage(page), {
      title: 'User to run as',
      heading: 'User to run as',
      message: 'Please specify the user you wish to run your server as.',
    });
    await shot(page, 'error-missing-user.png');
  });
  assert.deepEqual(instanceEntries(), before);
  assert.equal(fs.existsSync(docroot), false);
});

test('an empty user is submitted as given and the creation refuses it, leaving nothing behind', async () => {
  const before = instanceEntries();
  const docroot = path.join(SCRATCH, 'docs-emptyuser');
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await fillForm(page, { ...created, servid: 'e2eempty', servport: THIRD_PORT, servuser: '', docroot });
    await submit(page);
    assert.deepEqual(await errorPage(page), {
      title: 'Error',
      heading: 'Error',
      message: 'The user "" does not exist on this system.',
    });
    await shot(page, 'error-empty-user.png');
  });
  assert.deepEqual(instanceEntries(), before);
  assert.equal(fs.existsSync(docroot), false);
});

test('a port that an instance or a running process uses is refused on the port\'s error page', async () => {
  const before = instanceEntries();
  const serverPort = new URL(SERVER_URL).port;
  const cases = [
    [created.servport, `The port ${created.servport} is already used by the instance ${created.servid}.`],
    [serverPort, `The port ${serverPort} is already used by a running process.`],
  ];
  for (const [servport, message] of cases) {
    await withPage(async (page) => {
      await page.goto(FORM_URL);
      await fillForm(page, { ...created, servid: 'e2eport', servport, docroot: path.join(SCRATCH, 'docs-port') });
      await submit(page);
      assert.deepEqual(await errorPage(page), { title: 'Server Port', heading: 'Server Port', message });
      if (servport === serverPort) await shot(page, 'error-port-in-use.png');
    });
  }
  assert.deepEqual(instanceEntries(), before);
  assert.equal(fs.existsSync(path.join(SCRATCH, 'docs-port')), false);
});

test('the same identifier again is refused as in use and the instance is left alone', async () => {
  const initConf = path.join(SERVER_ROOT, created.servid, 'config/init.conf');
  const was = { text: fs.readFileSync(initConf, 'utf8'), mtime: fs.statSync(initConf).mtimeMs };
  const before = instanceEntries();
  const docroot = path.join(SCRATCH, 'docs-again');
  await withPage(async (page) => {
    await page.goto(FORM_URL);
    await fillForm(page, { ...created, servname: 'other.e2e.test', servport: OTHER_PORT, docroot, dns: 'off' });
    const response = await submit(page);
    const body = await response.text();
    assert.ok(body.includes('<p>The given server identifier is already in use.  Please pick another.</p>'), body);
    assert.deepEqual(await errorPage(page), {
      title: 'Server Identifier',
      heading: 'Server Identifier',
      message: 'The given server identifier is already in use.  Please pick another.',
    });
    await shot(page, 'error-in-use.png');
  });
  assert.deepEqual(instanceEntries(), before);
  assert.deepEqual({ text: fs.readFileSync(initConf, 'utf8'), mtime: fs.statSync(initConf).mtimeMs }, was);
  assert.equal(fs.existsSync(docroot), false);
});

test('the pages asked for nothing beyond 127.0.0.1', () => {
  assert.deepEqual(offLoopback, []);
});
