-- vkt.lua: Wireshark dissector for VKT serial-line captures (pcapng, link type 250).
--
--   tshark -X lua_script:vkt.lua -r line.pcapng            # one line a record
--   tshark -X lua_script:vkt.lua -r line.pcapng -2 -V      # two passes: links both ways
--   wireshark -X lua_script:vkt.lua line.pcapng            # or copy it to ~/.local/lib/wireshark/plugins/
--
-- Each packet is one line record: a 12-byte header (seconds and microseconds, big-endian; event
-- type; control lines; footer) and the bytes that crossed the line. The built-in dissector of this
-- link type takes no payload dissector from Lua, so this file registers for the link type itself
-- and decodes the header too ("vktline"), then the VKT protocol ("vkt"): it joins the bytes of
-- each direction across records into frames, checks them, pairs each response with the request
-- before it and gives the response time. Bytes sent while a modem is in command mode are shown as
-- modem text. A request is only known to have gone unanswered once the capture has moved on, so
-- "request without response" and the request's "response in" link need the second pass (-2,
-- which Wireshark's GUI always makes).

local line = Proto("vktline", "VKT serial line record")
local vkt = Proto("vkt", "VKT protocol")

-- ---- Record header ------------------------------------------------------------------------

local events = {
  [0x00] = "Status", [0x01] = "Sent", [0x02] = "Received", [0x03] = "Sent (end)",
  [0x04] = "Received (end)", [0x05] = "Records lost", [0x06] = "Capture complete",
  [0x07] = "Framing error", [0x08] = "Parity error", [0x09] = "Break", [0x0A] = "Overflow",
}
local EV_SENT, EV_RECEIVED = 0x01, 0x02

local lf = {
  time = ProtoField.absolute_time("vktline.time", "Time", base.UTC),
  event = ProtoField.uint8("vktline.event", "Event", base.HEX, events),
  lines = ProtoField.uint8("vktline.lines", "Control lines", base.HEX),
  cts = ProtoField.bool("vktline.cts", "CTS", 8, nil, 0x01),
  dcd = ProtoField.bool("vktline.dcd", "DCD", 8, nil, 0x02),
  dsr = ProtoField.bool("vktline.dsr", "DSR", 8, nil, 0x04),
  rts = ProtoField.bool("vktline.rts", "RTS", 8, nil, 0x08),
  dtr = ProtoField.bool("vktline.dtr", "DTR", 8, nil, 0x10),
  ring = ProtoField.bool("vktline.ring", "RING", 8, nil, 0x20),
  footer = ProtoField.uint16("vktline.footer", "Footer", base.HEX),
}
line.fields = lf

-- ---- VKT fields ---------------------------------------------------------------------------

local commands = {
  [0x90] = "read bits", [0x91] = "read words", [0x92] = "read floats",
  [0x94] = "write bits", [0x95] = "write words", [0x96] = "write floats",
}
local kinds = { [0] = "bits", [1] = "words", [2] = "floats" }
local elementSize = { [0] = 1, [1] = 2, [2] = 4 }

local function statusText(s)
  if s == 0 then return "success" end
  if s >= 0x80 and s <= 0x9F then return "controller error" end
  return "controller error value " .. s
end

local statusNames = {}
for s = 0, 255 do statusNames[s] = statusText(s) end

local f = {
  direction = ProtoField.string("vkt.direction", "Direction"),
  start = ProtoField.uint8("vkt.start", "Start byte", base.HEX),
  station = ProtoField.uint8("vkt.station", "Station", base.DEC),
  length = ProtoField.uint8("vkt.length", "Data length", base.DEC),
  command = ProtoField.uint8("vkt.command", "Command", base.HEX, commands),
  status = ProtoField.uint8("vkt.status", "Status", base.HEX, statusNames),
  address = ProtoField.uint16("vkt.address", "Address", base.DEC_HEX),
  count = ProtoField.uint8("vkt.count", "Count", base.DEC),
  bit = ProtoField.uint8("vkt.value.bit", "Bit", base.DEC),
  word = ProtoField.int16("vkt.value.word", "Word", base.DEC),
  float = ProtoField.float("vkt.value.float", "Float"),
  data = ProtoField.bytes("vkt.data", "Data"),
  checksum = ProtoField.uint16("vkt.checksum", "Checksum", base.HEX),
  checksumComputed = ProtoField.uint16("vkt.checksum.computed", "Computed checksum", base.HEX),
  checksumStatus = ProtoField.uint8("vkt.checksum.status", "Checksum status", base.DEC,
                                    { [0] = "Bad", [1] = "Good" }),
  requestIn = ProtoField.framenum("vkt.request_in", "Request in", base.NONE, frametype.REQUEST),
  responseIn = ProtoField.framenum("vkt.response_in", "Response in", base.NONE, frametype.RESPONSE),
  responseTime = ProtoField.relative_time("vkt.response_time", "Response time"),
  fragment = ProtoField.bytes("vkt.fragment", "Part of a frame"),
  continuedIn = ProtoField.framenum("vkt.continued_in", "Frame completed in", base.NONE),
  frameStart = ProtoField.framenum("vkt.frame_start", "Frame begun in", base.NONE),
  stray = ProtoField.bytes("vkt.stray", "Stray bytes"),
  fill = ProtoField.bytes("vkt.fill", "Fill bytes"),
  text = ProtoField.string("vkt.text", "Modem text"),
  incomplete = ProtoField.bytes("vkt.incomplete", "Incomplete frame"),
}
vkt.fields = f

local ef = {
  checksum = ProtoExpert.new("vkt.checksum.bad.expert", "Bad checksum", expert.group.CHECKSUM,
                             expert.severity.ERROR),
  unpaired = ProtoExpert.new("vkt.response.unpaired", "Response without request",
                             expert.group.SEQUENCE, expert.severity.WARN),
  unanswered = ProtoExpert.new("vkt.request.unanswered", "Request without response",
                               expert.group.SEQUENCE, expert.severity.WARN),
  stray = ProtoExpert.new("vkt.stray.expert", "Stray bytes outside a frame",
                          expert.group.PROTOCOL, expert.severity.WARN),
  incomplete = ProtoExpert.new("vkt.incomplete.expert", "Frame stopped short",
                               expert.group.MALFORMED, expert.severity.WARN),
  length = ProtoExpert.new("vkt.length.bad", "Data length above 252", expert.group.MALFORMED,
                           expert.severity.ERROR),
  status = ProtoExpert.new("vkt.status.error", "Controller reported an error",
                           expert.group.RESPONSE_CODE, expert.severity.NOTE),
  lineError = ProtoExpert.new("vkt.line_error", "Line error", expert.group.PROTOCOL,
                              expert.severity.WARN),
}
vkt.experts = { ef.checksum, ef.unpaired, ef.unanswered, ef.stray, ef.incomplete, ef.length,
                ef.status, ef.lineError }

-- ---- First pass: frames across records ----------------------------------------------------
--
-- results[n] holds what packet n shows: a list of items built once, when the packet is first seen.
-- Items: {kind = "frame" | "fragment" | "stray" | "fill" | "text" | "incomplete", ...}.

local results, streams, outstanding, modemCommandMode

local function reset()
  results = {}
  streams = { [EV_SENT] = { bytes = {}, pkts = {} }, [EV_RECEIVED] = { bytes = {}, pkts = {} } }
  outstanding = nil       -- the request frame waiting for its response
  modemCommandMode = false
end
reset()

function line.init() reset() end

local function checksumOf(bytes, last)
  local sum = 0
  for i = 2, last do sum = (sum + bytes[i]) % 65536 end
  return 65535 - sum
end

local function isText(bytes)
  for _, b in ipairs(bytes) do
    if not (b == 13 or b == 10 or (b >= 32 and b < 127)) then return false end
  end
  return #bytes > 0
end

local function bytesToHex(bytes, from, to)
  local t = {}
  for i = from, to do t[#t + 1] = string.format("%02x", bytes[i]) end
  return table.concat(t)
end

local function take(stream, n)
  local bytes, pkts = {}, {}
  for i = 1, n do
    bytes[i] = table.remove(stream.bytes, 1)
    pkts[i] = table.remove(stream.pkts, 1)
  end
  return bytes, pkts
end

local function addItem(n, item)
  results[n] = results[n] or { items = {} }
  table.insert(results[n].items, item)
end

-- Pairs a complete frame and files it under the packet that completed it.
local function completeFrame(n, dir, bytes, pkts, timeUs)
  local frame = { kind = "frame", dir = dir, bytes = bytes, first = pkts[1], timeUs = timeUs }
  frame.good = checksumOf(bytes, #bytes - 2) == bytes[#bytes - 1] + 256 * bytes[#bytes]
  if dir == EV_SENT then
    frame.request = true
    if outstanding ~= nil then outstanding.unanswered = true end
    outstanding = frame
  else
    frame.request = false
    if outstanding ~= nil then
      frame.requestFrame = outstanding
      outstanding.responseFrame = frame
      frame.responseTimeUs = timeUs - outstanding.timeUs
      frame.responseTo = outstanding
      outstanding = nil
    end
  end
  frame.pkt = n
  addItem(n, frame)
  for _, p in ipairs(pkts) do
    if p ~= n then
      results[p] = results[p] or { items = {} }
      results[p].continuedIn = n
    end
  end
end

-- Takes the bytes a record added to its direction's stream and cuts out what is complete.
local function scan(n, dir, timeUs)
  local s = streams[dir]
  while #s.bytes > 0 do
    local skip = 0
    while skip < #s.bytes and s.bytes[skip + 1] ~= 0x5A do skip = skip + 1 end
    if skip > 0 then
      local bytes = take(s, skip)
      local allFill = true
      for _, b in ipairs(bytes) do if b ~= 0xFF then allFill = false end end
      addItem(n, { kind = (dir == EV_SENT and allFill) and "fill" or "stray", bytes = bytes })
    end
    if #s.bytes < 3 then break end
    local length = s.bytes[3]
    if length > 252 then
      local bytes = take(s, 1)
      addItem(n, { kind = "badlength", bytes = bytes, length = length })
    elseif #s.bytes < length + 6 then
      break
    else
      local bytes, pkts = take(s, length + 6)
      completeFrame(n, dir, bytes, pkts, timeUs)
    end
  end
  if #s.bytes > 0 then
    results[n] = results[n] or { items = {} }
    results[n].pending = #s.bytes
    results[n].pendingFirst = s.pkts[1]
  end
end

local function firstPass(n, event, tvb, timeUs)
  results[n] = results[n] or { items = {} }
  if event ~= EV_SENT and event ~= EV_RECEIVED then return end
  local bytes = {}
  for i = 0, tvb:len() - 1 do bytes[#bytes + 1] = tvb(i, 1):uint() end
  if #bytes == 0 then return end
  if event == EV_SENT then
    local s = streams[EV_SENT]
    if #s.bytes == 0 and bytes[1] ~= 0x5A and isText(bytes) then
      modemCommandMode = true
      addItem(n, { kind = "text", bytes = bytes, dir = event })
      return
    end
    if #s.bytes == 0 and bytes[1] == 0x5A then
      modemCommandMode = false
      -- What is left of a response when the next request goes out never became a frame.
      local r = streams[EV_RECEIVED]
      if #r.bytes > 0 then
        local cut, pkts = take(r, #r.bytes)
        addItem(n, { kind = "incomplete", bytes = cut, first = pkts[1] })
      end
    end
  elseif modemCommandMode then
    addItem(n, { kind = "text", bytes = bytes, dir = event })
    return
  end
  local s = streams[event]
  for _, b in ipairs(bytes) do
    s.bytes[#s.bytes + 1] = b
    s.pkts[#s.pkts + 1] = n
  end
  scan(n, event, timeUs)
end

-- ---- Display ------------------------------------------------------------------------------

local function nstime(us)
  return NSTime.new(math.floor(us / 1000000), (us % 1000000) * 1000)
end

local function addValues(tree, ftvb, offset, kind, count)
  local size = elementSize[kind]
  for e = 0, count - 1 do
    local at = offset + e * size
    if at + size > ftvb:len() - 2 then break end
    if kind == 0 then
      tree:add(f.bit, ftvb(at, 1))
    elseif kind == 1 then
      tree:add_le(f.word, ftvb(at, 2))
    else
      tree:add_le(f.float, ftvb(at, 4))
    end
  end
end

local function frameSummary(frame)
  local b = frame.bytes
  if frame.request then
    local text = string.format("Request  station %d %s", b[2], commands[b[4]] or
                               string.format("command 0x%02X", b[4]))
    if #b >= 9 then text = text .. string.format(" address %d count %d", b[5] + 256 * b[6], b[7]) end
    return text
  end
  local text = string.format("Response station %d %s", b[2], statusText(b[4]))
  if b[3] > 0 then text = text .. string.format(", %d data bytes", b[3]) end
  if frame.responseTimeUs then
    text = text .. string.format(", %.3f ms", frame.responseTimeUs / 1000)
  end
  return text
end

local function showFrame(frame, tvb, pinfo, root)
  local b = frame.bytes
  local ftvb = ByteArray.new(bytesToHex(b, 1, #b)):tvb("VKT frame")
  local tree = root:add(vkt, ftvb(), frameSummary(frame))
  tree:add(f.direction, frame.request and "request" or "response")
  tree:add(f.start, ftvb(0, 1))
  tree:add(f.station, ftvb(1, 1))
  tree:add(f.length, ftvb(2, 1))
  local length = b[3]
  local request = frame.request and frame or frame.requestFrame
  if frame.request then
    tree:add(f.command, ftvb(3, 1))
    local command = b[4]
    if length >= 3 then
      tree:add_le(f.address, ftvb(4, 2))
      tree:add(f.count, ftvb(6, 1))
      if command >= 0x94 and command <= 0x96 and length > 3 then
        local values = tree:add(f.data, ftvb(7, length - 3))
        addValues(values, ftvb, 7, command - 0x94, b[7])
      end
    elseif length > 0 then
      tree:add(f.data, ftvb(4, length))
    end
  else
    local st = tree:add(f.status, ftvb(3, 1))
    if b[4] ~= 0 then st:add_proto_expert_info(ef.status) end
    if length > 0 then
      local values = tree:add(f.data, ftvb(4, length))
      local command = request and request.bytes[4]
      if b[4] == 0 and command and command >= 0x90 and command <= 0x92 then
        local kind = command - 0x90
        addValues(values, ftvb, 4, kind, math.floor(length / elementSize[kind]))
      end
    end
  end
  tree:add_le(f.checksum, ftvb(#b - 2, 2))
  local computed = checksumOf(b, #b - 2)
  local cs = tree:add(f.checksumStatus, frame.good and 1 or 0)
  cs:set_generated()
  if not frame.good then
    tree:add(f.checksumComputed, computed):set_generated()
    cs:add_proto_expert_info(ef.checksum)
  end
  if frame.first ~= frame.pkt then tree:add(f.frameStart, frame.first):set_generated() end
  if frame.request then
    if frame.responseFrame then
      tree:add(f.responseIn, frame.responseFrame.pkt):set_generated()
    elseif frame.unanswered or pinfo.visited then
      tree:add_proto_expert_info(ef.unanswered)
    end
  else
    if frame.requestFrame then
      tree:add(f.requestIn, frame.requestFrame.pkt):set_generated()
      tree:add(f.responseTime, nstime(frame.responseTimeUs)):set_generated()
    else
      tree:add_proto_expert_info(ef.unpaired)
    end
  end
  return frameSummary(frame)
end

local function showItems(n, tvb, pinfo, root)
  local r = results[n]
  if r == nil then return nil end
  local info = {}
  for _, item in ipairs(r.items) do
    if item.kind == "frame" then
      info[#info + 1] = showFrame(item, tvb, pinfo, root)
    elseif item.kind == "text" then
      local text = ""
      for _, b in ipairs(item.bytes) do
        text = text .. (b == 13 and "\\r" or (b == 10 and "\\n" or string.char(b)))
      end
      root:add(vkt, tvb(), "Modem " .. (item.dir == EV_SENT and "command" or "reply")):add(f.text, tvb(), text)
      info[#info + 1] = "Modem " .. (item.dir == EV_SENT and "command " or "reply ") .. text
    elseif item.kind == "stray" or item.kind == "fill" or item.kind == "incomplete"
        or item.kind == "badlength" then
      local hex = bytesToHex(item.bytes, 1, #item.bytes)
      local itvb = ByteArray.new(hex):tvb(item.kind)
      if item.kind == "fill" then
        root:add(f.fill, itvb())
      elseif item.kind == "stray" then
        root:add(f.stray, itvb()):add_proto_expert_info(ef.stray)
        info[#info + 1] = string.format("%d stray bytes", #item.bytes)
      elseif item.kind == "badlength" then
        root:add(f.stray, itvb()):add_proto_expert_info(ef.length)
        info[#info + 1] = string.format("start byte with data length %d", item.length)
      else
        root:add(f.incomplete, itvb()):add_proto_expert_info(ef.incomplete)
        info[#info + 1] = string.format("%d bytes of a frame that stopped short", #item.bytes)
      end
    end
  end
  if r.pending then
    local item = root:add(vkt, tvb(), string.format("Part of a frame (%d bytes so far)", r.pending))
    if r.continuedIn then
      item:add(f.continuedIn, r.continuedIn):set_generated()
    end
    info[#info + 1] = "Part of a frame"
  elseif r.continuedIn and #r.items == 0 then
    root:add(vkt, tvb(), "Part of a frame"):add(f.continuedIn, r.continuedIn):set_generated()
    info[#info + 1] = "Part of a frame"
  end
  return table.concat(info, "; ")
end

local comment = Field.new("frame.comment")

function line.dissector(tvb, pinfo, tree)
  if tvb:len() < 12 then return 0 end
  pinfo.cols.protocol = "VKT"
  local seconds, micros = tvb(0, 4):uint(), tvb(4, 4):uint()
  local event = tvb(8, 1):uint()
  local timeUs = seconds * 1000000 + micros
  local header = tree:add(line, tvb(0, 12), string.format("Line record: %s",
                                                           events[event] or "event " .. event))
  header:add(lf.time, tvb(0, 8), NSTime.new(seconds, micros * 1000))
  header:add(lf.event, tvb(8, 1))
  local lines = header:add(lf.lines, tvb(9, 1))
  for _, bit in ipairs({ lf.rts, lf.cts, lf.dtr, lf.dsr, lf.dcd, lf.ring }) do lines:add(bit, tvb(9, 1)) end
  header:add(lf.footer, tvb(10, 2))

  local payload = tvb(12):tvb()
  if not pinfo.visited then firstPass(pinfo.number, event, payload, timeUs) end

  local info
  if event == EV_SENT or event == EV_RECEIVED then
    info = showItems(pinfo.number, payload, pinfo, tree)
    if info == nil or info == "" then info = events[event] end
    info = (event == EV_SENT and "> " or "< ") .. info
  elseif event >= 0x07 and event <= 0x0A then
    tree:add(vkt, tvb(0, 12), events[event]):add_proto_expert_info(ef.lineError)
    info = events[event]
  else
    local c = comment()
    info = c and tostring(c.value) or events[event] or "event"
    if c == nil and event == 0x00 then
      local names, l = {}, tvb(9, 1):uint()
      for bit, name in pairs({ [0x08] = "RTS", [0x01] = "CTS", [0x10] = "DTR", [0x04] = "DSR",
                               [0x02] = "DCD", [0x20] = "RING" }) do
        if math.floor(l / bit) % 2 == 1 then names[#names + 1] = name end
      end
      table.sort(names)
      info = "Lines: " .. (#names > 0 and table.concat(names, " ") or "all off")
    end
  end
  pinfo.cols.info = info
  return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.RTAC_SERIAL, line)
