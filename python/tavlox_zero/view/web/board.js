"use strict";
// Drawing the board and the player panel; the pages give it plain data and never apply rules.
const Board = {
  COLOURS: ["#d9412e", "#2f6fd6", "#e9b820", "#3b9c4a"],
  LIGHT: ["#f6d0ca", "#cddcf6", "#f9edc4", "#cfe8d3"],
  COLOUR_NAMES: ["red", "blue", "yellow", "green"],
  CORNERS: ["top-left", "top-right", "bottom-right", "bottom-left"],

  columnName(col) {
    let name = "";
    for (col += 1; col > 0; col = Math.floor((col - 1) / 26)) {
      name = String.fromCharCode(97 + ((col - 1) % 26)) + name;
    }
    return name;
  },

  cellName(dim, tile) {
    return Board.columnName(tile % dim) + String(dim - Math.floor(tile / dim));
  },

  playerLabel(p) {
    return "Player " + (p + 1) + " (" + Board.COLOUR_NAMES[p] + ")";
  },

  // Builds the grid with coordinates and corner marks into `root`; returns the cell elements.
  build(root, dim, onClick) {
    const cellSize = Math.max(14, Math.min(34, Math.floor(600 / dim)));
    root.innerHTML = "";
    root.className = "board-wrap";
    root.style.setProperty("--cell", cellSize + "px");
    const labels = (kind) => {
      const el = document.createElement("div");
      el.className = "labels " + kind;
      for (let i = 0; i < dim; i++) {
        const span = document.createElement("span");
        span.textContent = kind === "cols" ? Board.columnName(i) : String(dim - i);
        el.appendChild(span);
      }
      return el;
    };
    const corner = (p) => {
      const el = document.createElement("div");
      el.className = "corner";
      const sides = [["top", "left"], ["top", "right"], ["bottom", "right"], ["bottom", "left"]][p];
      // A triangle pointing into the player's corner of the board.
      el.style["border-" + (sides[0] === "top" ? "bottom" : "top")] = "8px solid " + Board.COLOURS[p];
      el.style["border-" + (sides[1] === "left" ? "right" : "left")] = "8px solid " + Board.COLOURS[p];
      el.title = Board.playerLabel(p) + " starts here";
      return el;
    };
    const grid = document.createElement("div");
    grid.className = "board";
    grid.style.gridTemplateColumns = "repeat(" + dim + ", var(--cell))";
    const cells = [];
    for (let tile = 0; tile < dim * dim; tile++) {
      const cell = document.createElement("div");
      cell.className = "cell";
      cell.dataset.tile = String(tile);
      cell.title = Board.cellName(dim, tile);
      if (onClick) cell.addEventListener("click", () => onClick(tile));
      grid.appendChild(cell);
      cells.push(cell);
    }
    root.append(corner(0), labels("cols"), corner(1), labels("rows"), grid, labels("rows"),
                corner(3), labels("cols"), corner(2));
    return cells;
  },

  // owners: one entry per tile, -1 for empty. marks: {last: [tiles], legal: [tiles],
  // chosen: [tiles], mover: player, heat: [[tile, fraction]]}.
  paint(cells, owners, marks) {
    marks = marks || {};
    const sets = {};
    for (const key of ["last", "legal", "chosen"]) sets[key] = new Set(marks[key] || []);
    const mover = marks.mover == null ? 0 : marks.mover;
    cells.forEach((cell, tile) => {
      const owner = owners[tile];
      cell.style.background = owner >= 0 ? Board.COLOURS[owner] : "";
      for (const key of ["last", "legal", "chosen"]) cell.classList.toggle(key, sets[key].has(tile));
      cell.style.setProperty("--mover", Board.COLOURS[mover]);
      cell.style.setProperty("--mover-light", Board.LIGHT[mover]);
      cell.textContent = "";
    });
    const heat = marks.heat || [];
    const top = Math.max(1e-9, ...heat.map((entry) => entry[1]));
    for (const [tile, fraction] of heat) {
      if (!(fraction > 0)) continue;
      const el = document.createElement("div");
      el.className = "heat";
      el.style.background = "rgba(88, 28, 135, " + (0.15 + 0.75 * fraction / top).toFixed(3) + ")";
      el.textContent = cells[tile].offsetWidth >= 22 ? String(Math.round(100 * fraction)) : "";
      el.title = Board.cellName(Math.round(Math.sqrt(cells.length)), tile) + ": " +
        (100 * fraction).toFixed(1) + "% of the visits";
      cells[tile].appendChild(el);
    }
  },

  pieceSvg(shape, colour) {
    const size = 7;
    const width = (Math.max(...shape.map((c) => c[1])) + 1) * size;
    const height = (Math.max(...shape.map((c) => c[0])) + 1) * size;
    const rects = shape.map((c) => '<rect x="' + c[1] * size + '" y="' + c[0] * size + '" width="' +
      (size - 1) + '" height="' + (size - 1) + '" fill="' + colour + '"/>').join("");
    return '<svg width="' + width + '" height="' + height + '">' + rects + "</svg>";
  },

  // players: [{score, piecesLeft: [catalogue index], payoff?}], shapes: the catalogue.
  panel(root, players, shapes, mover, seatNames) {
    root.innerHTML = "";
    players.forEach((info, p) => {
      const block = document.createElement("div");
      block.className = "player" + (mover === p ? " to-move" : "");
      block.style.setProperty("--colour", Board.COLOURS[p]);
      const cellsLeft = info.piecesLeft.reduce((sum, i) => sum + shapes[i].length, 0);
      const name = document.createElement("div");
      name.className = "name";
      name.textContent = Board.playerLabel(p) + (seatNames ? " \u2014 " + seatNames[p] : "") +
        (mover === p ? "  \u25c0 to move" : "");
      const facts = document.createElement("div");
      facts.className = "facts";
      facts.textContent = Board.CORNERS[p] + " \u00b7 score " + info.score + " \u00b7 " +
        info.piecesLeft.length + " pieces, " + cellsLeft + " cells left" +
        (info.payoff != null ? " \u00b7 payoff " + (+info.payoff.toFixed(3)) : "");
      const pieces = document.createElement("div");
      pieces.className = "pieces";
      pieces.innerHTML = info.piecesLeft.map((i) => Board.pieceSvg(shapes[i], Board.COLOURS[p])).join("");
      block.append(name, facts, pieces);
      root.appendChild(block);
    });
  },
};
