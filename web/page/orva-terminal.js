// The board in the page: an 80x25 terminal talking to /call over a
// WebSocket that carries a Telnet stream. The small Telnet part is done
// here: commands dropped, 255 undoubled from the board, doubled when typed;
// the board's code page 437 shown as its glyphs and typed characters sent
// back in it.
(function () {
  "use strict";

  // The glyphs of bytes 0x7F to 0xFF; bytes below are ASCII and controls.
  var HIGH = "\u2302\u00c7\u00fc\u00e9\u00e2\u00e4\u00e0\u00e5\u00e7\u00ea\u00eb\u00e8\u00ef\u00ee\u00ec\u00c4\u00c5\u00c9\u00e6\u00c6\u00f4\u00f6\u00f2\u00fb\u00f9\u00ff\u00d6\u00dc\u00a2\u00a3\u00a5\u20a7\u0192\u00e1\u00ed\u00f3\u00fa\u00f1\u00d1\u00aa\u00ba\u00bf\u2310\u00ac\u00bd\u00bc\u00a1\u00ab\u00bb\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255d\u255c\u255b\u2510\u2514\u2534\u252c\u251c\u2500\u253c\u255e\u255f\u255a\u2554\u2569\u2566\u2560\u2550\u256c\u2567\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256b\u256a\u2518\u250c\u2588\u2584\u258c\u2590\u2580\u03b1\u00df\u0393\u03c0\u03a3\u03c3\u00b5\u03c4\u03a6\u0398\u03a9\u03b4\u221e\u03c6\u03b5\u2229\u2261\u00b1\u2265\u2264\u2320\u2321\u00f7\u2248\u00b0\u2219\u00b7\u221a\u207f\u00b2\u25a0\u00a0";
  var IAC = 255, SB = 250, SE = 240, WILL = 251, DONT = 254;

  var toByte = {};
  for (var i = 0; i < HIGH.length; i++) toByte[HIGH.charCodeAt(i)] = 0x7F + i;

  var term = new Terminal({
    cols: 80, rows: 25, scrollback: 0, cursorBlink: true,
    fontFamily: "OrvaBoard, 'DejaVu Sans Mono', monospace", fontSize: 16,
    drawBoldTextInBrightColors: true,
    theme: {
      background: "#000000", foreground: "#aaaaaa", cursor: "#aaaaaa",
      black: "#000000", red: "#aa0000", green: "#00aa00", yellow: "#aa5500",
      blue: "#0000aa", magenta: "#aa00aa", cyan: "#00aaaa", white: "#aaaaaa",
      brightBlack: "#555555", brightRed: "#ff5555", brightGreen: "#55ff55",
      brightYellow: "#ffff55", brightBlue: "#5555ff", brightMagenta: "#ff55ff",
      brightCyan: "#55ffff", brightWhite: "#ffffff"
    }
  });
  term.open(document.getElementById("terminal"));
  window.orvaTerminal = term;
  // The text of the terminal's rows, for whoever looks at the page.
  window.orvaScreen = function () {
    var rows = [], buffer = term._core.buffer;
    for (var y = 0; y < term.rows; y++)
      rows.push(buffer.translateBufferLineToString(buffer.ydisp + y, true));
    return rows;
  };

  var status = document.getElementById("status");
  var again = document.getElementById("again");
  var socket = null;
  // Where the Telnet stream stands between two frames.
  var state = "data";

  function show(text, connected) {
    status.textContent = text;
    status.className = connected ? "connected" : "disconnected";
    again.disabled = connected;
  }

  // The board's bytes without Telnet commands, as text for the terminal.
  function fromBoard(bytes) {
    var text = "";
    for (var i = 0; i < bytes.length; i++) {
      var b = bytes[i];
      if (state === "data") {
        if (b === IAC) state = "command";
        else text += b < 0x7F ? String.fromCharCode(b) : HIGH.charAt(b - 0x7F);
      } else if (state === "command") {
        if (b === IAC) { text += HIGH.charAt(IAC - 0x7F); state = "data"; }
        else if (b >= WILL && b <= DONT) state = "option";
        else if (b === SB) state = "sub";
        else state = "data";
      } else if (state === "option") {
        state = "data";
      } else if (state === "sub") {
        if (b === IAC) state = "subcommand";
      } else if (state === "subcommand") {
        state = b === SE ? "data" : "sub";
      }
    }
    return text;
  }

  // Typed text as code page 437 bytes, 255 doubled; Backspace as 08.
  function toBoard(text) {
    var bytes = [];
    for (var i = 0; i < text.length; i++) {
      var c = text.charCodeAt(i);
      var b = c === 0x7F ? 0x08 : c < 0x80 ? c : toByte[c];
      if (b === undefined) b = 0x3F;
      bytes.push(b);
      if (b === IAC) bytes.push(IAC);
    }
    return new Uint8Array(bytes);
  }

  function call() {
    if (socket) return;
    state = "data";
    term.reset();
    show("Calling...", true);
    var scheme = location.protocol === "https:" ? "wss:" : "ws:";
    socket = new WebSocket(scheme + "//" + location.host + "/call", "binary");
    socket.binaryType = "arraybuffer";
    socket.onopen = function () { show("Connected", true); term.focus(); };
    socket.onmessage = function (event) {
      if (event.data instanceof ArrayBuffer) term.write(fromBoard(new Uint8Array(event.data)));
    };
    socket.onclose = function () { socket = null; show("Disconnected", false); };
  }

  term.on("data", function (text) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(toBoard(text));
  });
  again.addEventListener("click", call);
  call();
})();
