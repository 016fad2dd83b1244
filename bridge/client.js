// SPDX-License-Identifier: MIT
// The qelmar bridge's client for POS pages.
//
//   <script src="http://127.0.0.1:27400/v1/client.js"></script>
//   const shown = await qelmar.port(1).send("12.5H");   // {result, frame, delivered, why}
//
// The page's origin must be on the bridge's --allow-origin list; the browser
// hides the bridge's refusal of any other page, which then sees status 0, as
// for a bridge that cannot be reached. Calls go to the bridge the script was
// loaded from unless qelmar.configure({base}) says otherwise; a bridge started
// with --token-file needs qelmar.configure({token}). A call is given up after
// 30 s (qelmar.configure({timeout: ms})).
(function (global) {
  "use strict";

  const script = typeof document !== "undefined" ? document.currentScript : null;
  const settings = {
    base: script && script.src ? new URL(script.src).origin : "http://127.0.0.1:27400",
    token: "",
    timeout: 30000,
  };

  class QelmarError extends Error {
    constructor(message, status) {
      super(message);
      this.name = "QelmarError";
      this.status = status; // the HTTP status; 0 when the bridge could not be reached
    }
  }

  async function call(method, path, body) {
    const headers = {};
    if (body !== undefined) headers["Content-Type"] = "application/json";
    if (settings.token) headers["Authorization"] = "Bearer " + settings.token;
    let response;
    try {
      response = await fetch(settings.base + path, {
        method,
        headers,
        body: body === undefined ? undefined : JSON.stringify(body),
        cache: "no-store",
        signal: AbortSignal.timeout ? AbortSignal.timeout(settings.timeout) : undefined,
      });
    } catch (e) {
      throw new QelmarError("the bridge at " + settings.base + " cannot be reached: " + e.message, 0);
    }
    const answer = await response.json().catch(() => ({}));
    if (!response.ok) {
      throw new QelmarError(answer.error || "HTTP " + response.status, response.status);
    }
    return answer;
  }

  function port(number) {
    const commands = "/v1/ports/" + encodeURIComponent(number);
    return {
      // One text gives one result; an array gives one result per text, in order.
      async send(text) {
        if (Array.isArray(text)) {
          return (await call("POST", commands + "/commands", { texts: text })).results;
        }
        return (await call("POST", commands + "/commands", { text: String(text) })).results[0];
      },
      // Bytes as they are, e.g. "23 B0 A1 23" for a GB2312 text already encoded.
      async sendHex(hex) {
        return (await call("POST", commands + "/commands", { hex: String(hex) })).results[0];
      },
      async rc(a, b) {
        return call("POST", commands + "/rc", { a, b });
      },
    };
  }

  global.qelmar = {
    configure(options) {
      if (options && options.base) settings.base = String(options.base).replace(/\/+$/, "");
      if (options && options.token !== undefined) settings.token = String(options.token);
      if (options && options.timeout > 0) settings.timeout = Number(options.timeout);
    },
    port,
    ports: () => call("GET", "/v1/ports"),
    health: () => call("GET", "/v1/health"),
    play: (name) => call("POST", "/v1/sounds/" + encodeURIComponent(name), {}),
    QelmarError,
  };
})(typeof globalThis !== "undefined" ? globalThis : window);
