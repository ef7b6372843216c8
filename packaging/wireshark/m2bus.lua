-- SPDX-License-Identifier: MIT
-- M2BUS on a phone's serial line, as kelvra-netmon --capture records it:
-- pcapng with link type USER0, every record starting with one byte that
-- says what it holds. Opens decoded with no set-up once this file is in a
-- Lua plugin folder of Wireshark (tshark -G folders lists them).

-- Loaded once, also when both a global and a personal copy are present.
if kelvra_m2bus_loaded then return end
kelvra_m2bus_loaded = true

local m2bus = Proto("m2bus", "M2BUS")

local RECORD_WRITTEN, RECORD_READ, RECORD_EVENT, RECORD_OPENED, RECORD_CLOSED = 0, 1, 2, 3, 4
local ACK_TYPE = 0x7F
local FRAME_ID = 0x1F

local record_names = {
    [RECORD_WRITTEN] = "Written to the phone",
    [RECORD_READ] = "Read from the line",
    [RECORD_EVENT] = "Line event",
    [RECORD_OPENED] = "Port opened",
    [RECORD_CLOSED] = "Port closed",
}
local commands = {
    ["00016401"] = "Init local mode",
    ["00016403"] = "Init normal mode",
    ["00017EF3"] = "R&D test on",
    ["00017EF2"] = "Operator field test on",
    ["00017EF1"] = "Field test display off",
    ["00017EF0"] = "Reset timers",
}
local checksum_states = { [0] = "Bad", [1] = "Good" }

local f = m2bus.fields
f.record = ProtoField.uint8("m2bus.record", "Record", base.DEC, record_names)
f.direction = ProtoField.string("m2bus.direction", "Direction")
f.frame_id = ProtoField.uint8("m2bus.frame_id", "Frame id", base.HEX)
f.dst = ProtoField.uint8("m2bus.dst", "Destination address", base.HEX)
f.src = ProtoField.uint8("m2bus.src", "Source address", base.HEX)
f.type = ProtoField.uint16("m2bus.type", "Type", base.HEX)
f.ack = ProtoField.uint8("m2bus.ack_type", "Acknowledgement type", base.HEX)
f.length = ProtoField.uint8("m2bus.length", "Length", base.DEC)
f.payload = ProtoField.bytes("m2bus.payload", "Payload")
f.command = ProtoField.string("m2bus.command", "Command")
f.seq = ProtoField.uint8("m2bus.seq", "Sequence number", base.DEC)
f.checksum = ProtoField.uint8("m2bus.checksum", "Checksum", base.HEX)
f.checksum_status = ProtoField.uint8("m2bus.checksum.status", "Checksum status", base.DEC, checksum_states)
f.echo_of = ProtoField.framenum("m2bus.echo_of", "Echo of frame")
f.echo_ok = ProtoField.bool("m2bus.echo_ok", "Echo matches the frame sent")
f.acknowledges = ProtoField.framenum("m2bus.acknowledges", "Acknowledges frame")
f.copy = ProtoField.uint8("m2bus.copy", "Reply copy", base.DEC)
f.copies = ProtoField.uint8("m2bus.copies", "Reply copies", base.DEC)
f.first_copy = ProtoField.framenum("m2bus.first_copy", "First copy in frame")
f.event_code = ProtoField.int16("m2bus.event.code", "Event code", base.DEC)
f.event_text = ProtoField.string("m2bus.event.text", "Event")
f.device = ProtoField.string("m2bus.device", "Device")
f.settings = ProtoField.string("m2bus.settings", "Line settings")
f.stray = ProtoField.bytes("m2bus.stray", "Bytes outside a frame")

local e_checksum = ProtoExpert.new("m2bus.checksum.bad.expert", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR)
local e_echo = ProtoExpert.new("m2bus.echo.differs", "The echo differs from the frame sent", expert.group.SEQUENCE, expert.severity.WARN)
local e_copy = ProtoExpert.new("m2bus.copy.differs", "This reply copy differs from the first", expert.group.SEQUENCE, expert.severity.WARN)
local e_short = ProtoExpert.new("m2bus.short", "Frame cut short", expert.group.MALFORMED, expert.severity.WARN)
local e_stray = ProtoExpert.new("m2bus.stray.expert", "Bytes outside a frame", expert.group.PROTOCOL, expert.severity.NOTE)
m2bus.experts = { e_checksum, e_echo, e_copy, e_short, e_stray }

local bxor = (bit32 and bit32.bxor) or bit.bxor

-- What the first pass learns of each frame (by frame number), for every later pass.
local relations = {}
-- The first pass's state, in capture order.
local state = {}
local function reset_state()
    relations = {}
    state = { unechoed = {}, commands = {}, group = nil, last_reply_group = nil }
end
reset_state()
function m2bus.init() reset_state() end

local function hex(tvb)
    return tostring(tvb:bytes()):upper()
end

-- The frame at the start of `tvb`: its fields, or nil when the bytes are no frame.
local function parse(tvb)
    local n = tvb:len()
    if n < 4 or tvb(0, 1):uint() ~= FRAME_ID then return nil end
    local frame = { dst = tvb(1, 1):uint(), src = tvb(2, 1):uint(), ack = tvb(3, 1):uint() == ACK_TYPE }
    if frame.ack then
        frame.size = 6
    elseif n >= 6 then
        frame.size = 8 + tvb(5, 1):uint()
    else
        frame.size = n + 1
    end
    frame.whole = n >= frame.size
    return frame
end

local function checksum_good(tvb, size)
    local x = 0
    for i = 0, size - 1 do x = bxor(x, tvb(i, 1):uint()) end
    return x == 0
end

-- The relations of a frame on the first pass: echoes, acknowledgements, reply copies.
local function relate(number, kind, frame, tvb)
    local r = {}
    local bytes = hex(tvb(0, math.min(tvb:len(), frame.size)))
    local seq = frame.whole and tvb(frame.size - 2, 1):uint() or nil
    local from_pc = frame.dst == 0x00 and frame.src == 0x10
    if kind == RECORD_WRITTEN then
        table.insert(state.unechoed, { number = number, bytes = bytes })
        state.group = nil
        if frame.ack then
            if state.last_reply_group then r.acknowledges = state.last_reply_group.first end
        elseif seq then
            state.commands[seq] = number
        end
    elseif from_pc then
        local sent = table.remove(state.unechoed, 1)
        if sent then
            r.echo_of = sent.number
            r.echo_ok = sent.bytes == bytes
        end
    elseif frame.ack then
        if seq then r.acknowledges = state.commands[seq] end
    elseif seq then
        local g = state.group
        if not g or g.seq ~= seq then
            g = { seq = seq, first = number, bytes = bytes, count = 0 }
            state.group = g
            state.last_reply_group = g
        end
        g.count = g.count + 1
        r.group = g
        r.copy = g.count
        r.copy_differs = g.bytes ~= bytes
    end
    return r
end

local function dissect_frame(tvb, pinfo, tree, kind, number)
    local frame = parse(tvb)
    if not frame then
        tree:add(f.stray, tvb()):add_proto_expert_info(e_stray)
        return "Bytes outside a frame (" .. tvb:len() .. ")"
    end
    if not pinfo.visited then relations[number] = relate(number, kind, frame, tvb) end
    local r = relations[number] or {}
    local size = math.min(frame.size, tvb:len())
    local t = tree:add(m2bus, tvb(0, size), "M2BUS frame")
    t:add(f.frame_id, tvb(0, 1))
    t:add(f.dst, tvb(1, 1))
    t:add(f.src, tvb(2, 1))
    local seq, info
    if frame.ack then
        t:add(f.ack, tvb(3, 1))
        if tvb:len() >= 5 then seq = tvb(4, 1):uint(); t:add(f.seq, tvb(4, 1)) end
    else
        if tvb:len() >= 5 then t:add(f.type, tvb(3, 2)) end
        if tvb:len() >= 6 then
            local n = tvb(5, 1):uint()
            t:add(f.length, tvb(5, 1))
            if n > 0 and tvb:len() >= 6 + n then
                t:add(f.payload, tvb(6, n))
                local name = commands[hex(tvb(6, n))]
                if name then t:add(f.command, tvb(6, n), name) end
            end
            if tvb:len() >= 7 + n then seq = tvb(6 + n, 1):uint(); t:add(f.seq, tvb(6 + n, 1)) end
        end
    end
    if frame.whole then
        t:add(f.checksum, tvb(frame.size - 1, 1))
        local good = checksum_good(tvb, frame.size)
        local status = t:add(f.checksum_status, tvb(frame.size - 1, 1), good and 1 or 0)
        status:set_generated()
        if not good then status:add_proto_expert_info(e_checksum) end
    else
        t:add_proto_expert_info(e_short)
    end
    local seqtext = seq and (" seq " .. seq) or ""
    if kind == RECORD_WRITTEN then
        if frame.ack then
            info = "Ack" .. seqtext
        else
            local name = tvb:len() >= 10 and commands[hex(tvb(6, 4))]
            info = "Command" .. seqtext .. (name and (": " .. name) or "")
        end
    elseif r.echo_of then
        info = "Echo of #" .. r.echo_of
    elseif frame.ack then
        info = "Ack" .. seqtext
    else
        info = "Reply" .. seqtext
    end
    if r.echo_of then
        t:add(f.echo_of, r.echo_of):set_generated()
        local ok = t:add(f.echo_ok, r.echo_ok)
        ok:set_generated()
        if not r.echo_ok then ok:add_proto_expert_info(e_echo) end
    end
    if r.acknowledges then t:add(f.acknowledges, r.acknowledges):set_generated() end
    if r.copy then
        t:add(f.copy, r.copy):set_generated()
        t:add(f.copies, r.group.count):set_generated()
        if r.copy > 1 then t:add(f.first_copy, r.group.first):set_generated() end
        if r.copy_differs then t:add_proto_expert_info(e_copy) end
        -- How many copies came is known once the first pass has seen them all (tshark -2, the GUI).
        info = info .. " (copy " .. r.copy .. (pinfo.visited and (" of " .. r.group.count) or "") .. ")"
    end
    if not frame.whole then info = info .. " [cut short]" end
    if tvb:len() > size then
        tree:add(f.stray, tvb(size)):add_proto_expert_info(e_stray)
    end
    return info
end

local function dissect(tvb, pinfo, tree)
    pinfo.cols.protocol = "M2BUS"
    local root = tree:add(m2bus, tvb(), "M2BUS line record")
    if tvb:len() < 1 then
        pinfo.cols.info = "Empty record"
        return
    end
    local kind = tvb(0, 1):uint()
    root:add(f.record, tvb(0, 1))
    local body = tvb:len() > 1 and tvb(1):tvb() or nil
    local info
    if kind == RECORD_WRITTEN or kind == RECORD_READ then
        local pc = kind == RECORD_WRITTEN
        pinfo.cols.src = pc and "PC" or "line"
        pinfo.cols.dst = pc and "phone" or "PC"
        root:add(f.direction, pc and "PC to phone" or "line to PC"):set_generated()
        info = body and dissect_frame(body, pinfo, root, kind, pinfo.number) or "No bytes"
    elseif kind == RECORD_EVENT and body and body:len() >= 2 then
        local code = body(0, 2):le_int()
        root:add_le(f.event_code, body(0, 2))
        local text = body:len() > 2 and body(2):string() or ""
        if body:len() > 2 then root:add(f.event_text, body(2)) end
        info = "Line event " .. code .. ": " .. text
    elseif kind == RECORD_OPENED and body then
        local raw = body:bytes()
        local cut = nil
        for i = 0, raw:len() - 1 do if raw:get_index(i) == 0 then cut = i break end end
        local device = cut and (cut > 0 and body(0, cut):string() or "") or body():string()
        local settings = (cut and cut + 1 < body:len()) and body(cut + 1):string() or ""
        root:add(f.device, device)
        root:add(f.settings, settings)
        info = "Port opened: " .. device .. " " .. settings
    elseif kind == RECORD_CLOSED then
        info = "Port closed"
    else
        info = "Unknown record " .. kind
    end
    pinfo.cols.info = info
end

function m2bus.dissector(tvb, pinfo, tree)
    -- Whatever the bytes, a line that Lua cannot take never stops the capture being read.
    local ok, failure = pcall(dissect, tvb, pinfo, tree)
    if not ok then pinfo.cols.info = "M2BUS record not decoded: " .. tostring(failure) end
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, m2bus)
