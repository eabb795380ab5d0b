#include "WebSignInPage.h"

#include "HttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

const char* const html = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Voxlet sign-in</title>
<style>
 body { font-family: sans-serif; background: #16161a; color: #eee; display: flex; justify-content: center; }
 main { max-width: 22rem; margin-top: 4rem; }
 input, button { font-size: 1rem; padding: .5rem; width: 100%; box-sizing: border-box; margin: .3rem 0; }
 #status { min-height: 1.5rem; color: #f8a; }
 .hidden { display: none; }
</style>
</head>
<body>
<main>
 <h1>Voxlet</h1>
 <p>Local sign-in. The one-time code is not sent by mail: voxlet-backend writes it to its log and to
 one-time-codes.json in its data folder.</p>
 <form id="contactForm">
  <input id="contact" placeholder="E-mail or phone number (+...)" autocomplete="username" required>
  <button type="submit">Send code</button>
 </form>
 <form id="codeForm" class="hidden">
  <input id="code" placeholder="6-digit code" inputmode="numeric" autocomplete="one-time-code" required>
  <button type="submit">Sign in</button>
 </form>
 <p id="status"></p>
</main>
<script>
const apiKey = __API_KEY__;
const status = (t) => { document.getElementById('status').textContent = t; };
const contactBody = () => {
  const c = document.getElementById('contact').value.trim();
  return c.includes('@') ? { email: c.toLowerCase() } : { phone: c.replace(/\s/g, '') };
};
async function call(path, body) {
  const r = await fetch(path, { method: 'POST', headers: { 'apikey': apiKey, 'Content-Type': 'application/json' },
                                body: JSON.stringify(body) });
  const j = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(j.msg || j.message || j.error || ('HTTP ' + r.status));
  return j;
}
document.getElementById('contactForm').addEventListener('submit', async (e) => {
  e.preventDefault();
  try {
    await call('/auth/v1/otp', Object.assign({ create_user: true }, contactBody()));
    document.getElementById('codeForm').classList.remove('hidden');
    status('Code sent. Look in the voxlet-backend log or one-time-codes.json.');
  } catch (err) { status(err.message); }
});
document.getElementById('codeForm').addEventListener('submit', async (e) => {
  e.preventDefault();
  const body = contactBody();
  body.token = document.getElementById('code').value.trim();
  body.type = body.email ? 'email' : 'sms';
  try {
    const session = await call('/auth/v1/verify', body);
    status('Signed in. Returning to Voxlet...');
    window.location.href = 'voxlet://auth?token=' + encodeURIComponent(session.access_token);
  } catch (err) { status(err.message); }
});
</script>
</body>
</html>
)HTML";

} // namespace

namespace WebSignInPage {

HttpResponse page(const QString& anonKey) {
    // A JSON string is a valid JavaScript literal; escaping "<" keeps it from closing the script.
    QByteArray key = QJsonDocument(QJsonArray{anonKey}).toJson(QJsonDocument::Compact);
    key = key.mid(1, key.size() - 2).replace("<", "\\u003c");
    QByteArray body(html);
    body.replace("__API_KEY__", key);
    HttpResponse response{200, QByteArrayLiteral("text/html; charset=utf-8"), body, {}};
    response.headers.append(
        qMakePair(QByteArray("Content-Security-Policy"),
                  QByteArray("default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'")));
    response.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("no-store")));
    return response;
}

void registerRoutes(HttpServer& server, const QString& anonKey) {
    server.route("GET", QStringLiteral("/web/login"),
                 [anonKey](HttpRequest) -> QCoro::Task<HttpResponse> { co_return page(anonKey); });
}

} // namespace WebSignInPage
