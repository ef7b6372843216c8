-- SPDX-License-Identifier: MIT
-- M2BUS on a phone's serial line, as kelvra-netmon --capture and --listen
-- record it: pcapng with link type USER0, every record starting with one byte
-- that says what it holds. Opens decoded with no set-up once this file is in
-- a Lua plugin folder of Wireshark (tshark -G folders lists them).

-- Loaded once, whichever copies are present (the package's, a personal one, -X lua_script:).
local loaded, m2bus = pcall(Proto, "m2bus", "M2BUS")
if not loaded then return end

local RECORD_WRITTEN, RECORD_READ, RECORD_EVENT, RECORD_OPENED, RECORD_CLOSED, RECORD_OPEN_FAILED = 0, 1, 2, 3, 4, 5
local RECORD_CONTINUED = 6
local FRAME_ID, ACK_TYPE = 0x1F, 0x7F
-- The last field of an opening by a tool that writes one record per frame.
local FRAMED_MARK = "one record per frame"
local DEVICE_LOST = 1010

local record_names = {
    [RECORD_WRITTEN] = "Written to the phone",
    [RECORD_READ] = "Read from the line",
    [RECORD_EVENT] = "Line event",
    [RECORD_OPENED] = "Port opened",
    [RECORD_CLOSED] = "Port closed",
    [RECORD_OPEN_FAILED] = "Port not opened",
    [RECORD_CONTINUED] = "Run continued",
}
local commands = {
    ["00016401"] = "Init local mode",
    ["00016403"] = "Init normal mode",
    ["00017EF3"] = "R&D test on",
    ["00017EF2"] = "Operator field test on",
    ["00017EF1"] = "Field test display off",
    ["00017EF0"] = "Reset timers",
}
local event_names = {
    [3] = "CTS changed", [4] = "DSR changed", [5] = "CD changed", [6] = "Ring", [7] = "End of file",
    [1001] = "Break", [1002] = "CTS timeout", [1003] = "DSR timeout", [1004] = "Framing error",
    [1005] = "Overrun", [1006] = "CD timeout", [1007] = "Receive buffer overflow", [1008] = "Parity error",
    [1009] = "Transmit buffer full", [DEVICE_LOST] = "Device gone",
}
-- Line events that are only news (a modem line changed, the phone rings): a note. Every other
-- event, unknown ones included, means bytes were lost or spoilt or the line failed: a warning.
local line_news = { [3] = true, [4] = true, [5] = true, [6] = true, [7] = true }
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
f.echo_of = ProtoField.framenum("m2bus.echo_of", "Echo of frame", base.NONE)
f.echo_in = ProtoField.framenum("m2bus.echo_in", "Echo in frame", base.NONE)
f.echo_ok = ProtoField.bool("m2bus.echo_ok", "Echo matches the frame sent")
f.acknowledges = ProtoField.framenum("m2bus.acknowledges", "Acknowledges frame", base.NONE, frametype.REQUEST)
f.acknowledges_reply = ProtoField.framenum("m2bus.acknowledges_reply", "Acknowledges reply in frame", base.NONE,
    frametype.RESPONSE)
f.ack_in = ProtoField.framenum("m2bus.ack_in", "Acknowledged in frame", base.NONE, frametype.ACK)
f.reply_in = ProtoField.framenum("m2bus.reply_in", "Reply in frame", base.NONE, frametype.RESPONSE)
f.reply_to = ProtoField.framenum("m2bus.reply_to", "Reply to frame", base.NONE, frametype.REQUEST)
f.response_time = ProtoField.relative_time("m2bus.response_time", "Response time")
f.copy = ProtoField.uint8("m2bus.copy", "Reply copy", base.DEC)
f.copies = ProtoField.uint8("m2bus.copies", "Reply copies", base.DEC)
f.first_copy = ProtoField.framenum("m2bus.first_copy", "First copy in frame", base.NONE)
f.part = ProtoField.framenum("m2bus.part", "Part of this frame in", base.NONE)
f.continued_in = ProtoField.framenum("m2bus.continued_in", "Frame continued in", base.NONE)
f.event_code = ProtoField.int16("m2bus.event.code", "Event code", base.DEC, event_names)
f.event_text = ProtoField.string("m2bus.event.text", "Event")
f.device = ProtoField.string("m2bus.device", "Device")
f.settings = ProtoField.string("m2bus.settings", "Line settings")
f.records = ProtoField.string("m2bus.records", "Records")
f.reason = ProtoField.string("m2bus.reason", "Why")
f.port = ProtoField.string("m2bus.port", "Port")
f.stray = ProtoField.bytes("m2bus.stray", "Bytes outside a frame")

local function expert_of(abbrev, text, group, severity)
    return ProtoExpert.new(abbrev, text, group, severity or expert.severity.WARN)
end
local e_checksum = expert_of("m2bus.checksum.bad.expert", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR)
local e_echo = expert_of("m2bus.echo.differs", "The echo differs from the frame sent", expert.group.SEQUENCE)
local e_no_echo = expert_of("m2bus.echo.missing", "The line never echoed this frame", expert.group.SEQUENCE)
local e_no_ack = expert_of("m2bus.ack.missing", "The phone never acknowledged this command", expert.group.SEQUENCE)
local e_ack_nothing = expert_of("m2bus.ack.unmatched", "An acknowledgement whose sequence number matches no command",
    expert.group.SEQUENCE)
local e_copy = expert_of("m2bus.copy.differs", "This reply copy differs from the other copies", expert.group.SEQUENCE)
local e_event = expert_of("m2bus.event.expert", "A fault on the line", expert.group.COMMENTS_GROUP)
local e_news = expert_of("m2bus.event.news", "A change on the line", expert.group.COMMENTS_GROUP, expert.severity.NOTE)
local e_after_lost = expert_of("m2bus.written_after_lost", "Written after the device was gone", expert.group.SEQUENCE)
local e_not_opened = expert_of("m2bus.open_failed", "The port could not be opened", expert.group.RESPONSE_CODE)
local e_short = expert_of("m2bus.short", "Frame cut short", expert.group.MALFORMED)
local e_stray = expert_of("m2bus.stray.expert", "Bytes outside a frame", expert.group.PROTOCOL, expert.severity.NOTE)
m2bus.experts = { e_checksum, e_echo, e_no_echo, e_no_ack, e_ack_nothing, e_copy, e_event, e_news, e_after_lost,
    e_not_opened, e_short, e_stray }

local section_number = Field.new("frame.section_number")
local bxor = (bit32 and bit32.bxor) or bit.bxor

-- Line bytes cut into frames as the tool cuts them: a frame runs from a frame
-- start (the frame id and an address pair) for the length its header gives,
-- no further than the next frame start that lies within it; bytes around
-- frames make pieces of their own. `s` is a Lua string of bytes; each piece
-- is {first, last, kind}.
local function starts_at(s, i)
    local a, b, c = s:byte(i, i + 2)
    return a == FRAME_ID and ((b == 0x00 and c == 0x10) or (b == 0x10 and c == 0x00))
end

local function cut(s)
    local pieces, n, i = {}, #s, 1
    while i <= n do
        local next_start = i + 1
        while next_start <= n and not starts_at(s, next_start) do next_start = next_start + 1 end
        local piece = { first = i, last = next_start - 1, kind = "other" }
        if starts_at(s, i) then
            local length
            if i + 3 <= n and s:byte(i + 3) == ACK_TYPE then
                length = 6
            elseif i + 5 <= n then
                length = 8 + s:byte(i + 5)
            end
            if length and i + length - 1 <= n then
                -- A start running past the frame's last byte (a checksum 1F) does not cut it.
                local cut_at = next_start + 2 > i + length - 1 and n + 1 or next_start
                piece.last = math.min(i + length - 1, cut_at - 1)
                piece.kind = "frame"
            else
                piece.kind = next_start > n and "partial" or "frame"
            end
        end
        pieces[#pieces + 1] = piece
        i = piece.last + 1
    end
    return pieces
end

-- How many bytes at the end of `s` may begin a frame start still to come.
local function start_prefix_at_end(s, from)
    local n = #s
    if n - from >= 1 and s:byte(n - 1) == FRAME_ID and (s:byte(n) == 0x00 or s:byte(n) == 0x10) then return 2 end
    if n - from >= 0 and s:byte(n) == FRAME_ID then return 1 end
    return 0
end

local function hex(s)
    return (s:gsub(".", function(c) return string.format("%02X", c:byte()) end))
end

-- What the first pass learns, for every later pass: per record number, the
-- pieces it completes and what they relate to. A run whose opening says
-- "one record per frame" wrote each frame whole in a record of its own (a
-- frame cut short by silence, a line event or the closing too), so each of
-- its records is decided alone; older runs wrote what each read returned,
-- and their frames are joined across records.
local records = {}
-- The first pass's state, in capture order: one per run, afresh at each
-- opening of the port and at each section that does not say it continues a
-- run. Runs sharing one file interleave their sections; a section that goes
-- on with a run begins with a record naming the run's device.
local state
local section_states = {}
local device_states = {}
local function new_state()
    return {
        streams = { [RECORD_WRITTEN] = { held = "", from = {} }, [RECORD_READ] = { held = "", from = {} } },
        unechoed = {},
        command = nil,  -- the transaction in hand: { seq, copies = {numbers}, time, ack, reply }
        group = nil,    -- reply copies coming in
        last_group = nil,
        lost = false,
        framed = false,
    }
end
local function reset()
    records = {}
    section_states = {}
    device_states = {}
    state = new_state()
end
reset()
m2bus.init = reset

local function frame_fields(s)
    if #s < 3 or not starts_at(s, 1) then return nil end
    local fr = { from_pc = s:byte(2) == 0x00, ack = s:byte(4) == ACK_TYPE }
    if fr.ack then
        fr.size = 6
        fr.seq = s:byte(5)
    elseif #s >= 6 then
        fr.size = 8 + s:byte(6)
        if #s >= fr.size - 1 then fr.seq = s:byte(fr.size - 1) end
        if #s >= 6 + s:byte(6) then fr.payload = s:sub(7, 6 + s:byte(6)) end
    end
    fr.whole = fr.size ~= nil and #s >= fr.size
    return fr
end

-- The relations of one whole piece, in capture order, on the first pass.
local function relate(piece, number, kind, time)
    local r = {}
    local fr = frame_fields(piece.bytes)
    piece.relations = r
    if not fr then return end
    local st = state
    if fr.from_pc then
        if kind == RECORD_READ and #st.unechoed > 0 then
            local sent = table.remove(st.unechoed, 1)
            r.echo_of = sent.number
            r.echo_ok = sent.bytes == piece.bytes
            sent.relations.echo_in = number
            return
        end
        -- A frame the PC sent (written, or heard on a listened line).
        if kind == RECORD_WRITTEN then
            st.unechoed[#st.unechoed + 1] = { number = number, bytes = piece.bytes, relations = r }
            r.written = true
            if st.lost then r.after_lost = true end
        end
        if fr.ack then
            -- The PC's acknowledgement ends the reply copies it acknowledges.
            st.group = nil
            local g = st.last_group
            if g then
                r.acknowledges_reply = g.first
                g.ack = number
            end
        elseif fr.seq then
            local t = st.command
            if not t or t.seq ~= fr.seq or t.ack or t.reply then
                t = { seq = fr.seq, copies = {}, time = time }
                st.command = t
            end
            t.copies[#t.copies + 1] = number
            t.time = time
            r.transaction = t
        end
    elseif fr.ack then
        st.group = nil
        local t = st.command
        if t and fr.seq == t.seq and not t.ack then
            t.ack = number
            r.acknowledges = t.copies[#t.copies]
        else
            r.ack_matches_nothing = true
        end
    elseif fr.seq then
        local g = st.group
        if not g then
            g = { first = number, copies = {}, transaction = st.command }
            st.group = g
            st.last_group = g
            local t = st.command
            if t and not t.reply then
                t.reply = number
                t.response_time = time - t.time
            end
        end
        g.copies[#g.copies + 1] = piece.bytes
        r.group = g
        r.copy = #g.copies
    end
end

-- The bytes held of a stream become pieces as they stand (the port closes, a line event comes).
local function flush(number, out)
    for _, kind in ipairs({ RECORD_WRITTEN, RECORD_READ }) do
        local stream = state.streams[kind]
        if #stream.held > 0 then
            local piece = { bytes = stream.held, from = stream.from, kind = kind, own_first = 0, own_length = 0 }
            for _, earlier in ipairs(stream.from) do
                if records[earlier] then records[earlier].continued_in = number end
            end
            out[#out + 1] = piece
            stream.held, stream.from = "", {}
        end
    end
end

-- The first pass over a record of bytes: the pieces it completes, the bytes it holds for later.
local function join(bytes, number, kind, out)
    local stream = state.streams[kind]
    local held = stream.held
    local data = held .. bytes
    local pieces = cut(data)
    local last = pieces[#pieces]
    local keep = #data
    if state.framed then
        -- Nothing is held: a frame this record does not complete was cut short.
    elseif last.kind == "partial" then
        keep = last.first - 1
    elseif last.kind == "other" then
        keep = #data - start_prefix_at_end(data, last.first)
    end
    for _, p in ipairs(pieces) do
        if p.first > keep then break end
        local upto = math.min(p.last, keep)
        local piece = { bytes = data:sub(p.first, upto), kind = kind }
        if p.first <= #held then
            piece.from = {}
            for _, earlier in ipairs(stream.from) do
                piece.from[#piece.from + 1] = earlier
                if records[earlier] then records[earlier].continued_in = number end
            end
            piece.from[#piece.from + 1] = number
        end
        piece.own_first = math.max(p.first - 1, #held) - #held
        piece.own_length = upto - math.max(p.first - 1, #held)
        out[#out + 1] = piece
    end
    stream.held = data:sub(keep + 1)
    -- Whose frame the held bytes begin, once its addresses have come.
    local start = #stream.held >= 3 and frame_fields(stream.held)
    stream.from_pc = start and start.from_pc
    if #stream.held == 0 then
        stream.from = {}
    elseif keep >= #held then
        stream.from = { number }
    else
        stream.from[#stream.from + 1] = number
    end
    return #stream.held > 0 and math.max(keep - #held, 0) or nil
end

local function first_pass(tvb, pinfo, kind)
    local section = section_number() and section_number().value or 1
    local body = tvb:len() > 1 and tvb:raw(1) or ""
    local device = body:match("^([^%z]*)%z") or body
    if kind == RECORD_OPENED or kind == RECORD_OPEN_FAILED then
        section_states[section] = new_state()
        device_states[device] = section_states[section]
        section_states[section].framed = kind == RECORD_OPENED and body:find("%z" .. FRAMED_MARK .. "$") ~= nil
    elseif kind == RECORD_CONTINUED then
        section_states[section] = device_states[device] or new_state()
    elseif not section_states[section] then
        section_states[section] = new_state()
    end
    state = section_states[section]
    local rec = { pieces = {} }
    records[pinfo.number] = rec
    if kind == RECORD_WRITTEN or kind == RECORD_READ then
        if state.lost and kind == RECORD_WRITTEN then rec.after_lost = true end
        rec.held_from = join(body, pinfo.number, kind, rec.pieces)
        rec.held_pc = state.streams[kind].from_pc
    elseif kind == RECORD_EVENT or kind == RECORD_CLOSED then
        flush(pinfo.number, rec.pieces)
        if kind == RECORD_EVENT and tvb:len() >= 3 and tvb(1, 2):le_int() == DEVICE_LOST then state.lost = true end
    end
    for _, piece in ipairs(rec.pieces) do relate(piece, pinfo.number, piece.kind, pinfo.abs_ts) end
end

local function seconds_to_nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- The majority of a group's copies: the bytes most copies carry (the first such on a tie).
local function majority(copies)
    local counts, best = {}, nil
    for _, c in ipairs(copies) do
        counts[c] = (counts[c] or 0) + 1
        if not best or counts[c] > counts[best] then best = c end
    end
    return best
end

-- One whole piece in the tree; returns its Info text and its direction (from the PC or not).
local function show_piece(tvb, pinfo, tree, piece)
    local fr = frame_fields(piece.bytes)
    local r = piece.relations or {}
    if not fr then
        tree:add(f.stray, tvb()):add_proto_expert_info(e_stray)
        return "Bytes outside a frame (" .. tvb:len() .. ")", nil
    end
    local size = math.min(fr.size or tvb:len(), tvb:len())
    local t = tree:add(tvb(0, size), "Frame")
    t:add(f.frame_id, tvb(0, 1))
    t:add(f.dst, tvb(1, 1))
    t:add(f.src, tvb(2, 1))
    if fr.ack then
        if tvb:len() >= 4 then t:add(f.ack, tvb(3, 1)) end
        if tvb:len() >= 5 then t:add(f.seq, tvb(4, 1)) end
    else
        if tvb:len() >= 5 then t:add(f.type, tvb(3, 2)) end
        if tvb:len() >= 6 then
            local n = tvb(5, 1):uint()
            t:add(f.length, tvb(5, 1))
            if n > 0 and tvb:len() >= 6 + n then
                t:add(f.payload, tvb(6, n))
                local name = commands[hex(fr.payload)]
                if name then t:add(f.command, tvb(6, n), name) end
            end
            if tvb:len() >= 7 + n then t:add(f.seq, tvb(6 + n, 1)) end
        end
    end
    if fr.whole then
        local x = 0
        for i = 1, fr.size - 1 do x = bxor(x, piece.bytes:byte(i)) end
        local given = piece.bytes:byte(fr.size)
        local item = t:add(f.checksum, tvb(fr.size - 1, 1))
        local status = t:add(f.checksum_status, tvb(fr.size - 1, 1), x == given and 1 or 0)
        status:set_generated()
        if x == given then
            item:append_text(" [correct]")
        else
            item:append_text(string.format(" [incorrect, should be 0x%02x]", x))
            item:add_proto_expert_info(e_checksum)
        end
    else
        t:add_proto_expert_info(e_short)
    end

    local seqtext = fr.seq and (" seq " .. fr.seq) or ""
    local info
    local function link(field, number)
        if number then t:add(field, number):set_generated() end
    end
    if r.echo_of then
        info = "Echo of #" .. r.echo_of
        link(f.echo_of, r.echo_of)
        local ok = t:add(f.echo_ok, r.echo_ok)
        ok:set_generated()
        if not r.echo_ok then ok:add_proto_expert_info(e_echo) end
    elseif fr.ack then
        info = "Ack" .. seqtext
        link(f.acknowledges, r.acknowledges)
        link(f.acknowledges_reply, r.acknowledges_reply)
        if r.ack_matches_nothing then t:add_proto_expert_info(e_ack_nothing) end
    elseif fr.from_pc then
        local name = fr.payload and commands[hex(fr.payload)]
        info = "Command" .. seqtext .. (name and (": " .. name) or "")
        local tr = r.transaction
        if tr then
            link(f.ack_in, tr.ack)
            link(f.reply_in, tr.reply)
            if tr.response_time then t:add(f.response_time, seconds_to_nstime(tr.response_time)):set_generated() end
            if pinfo.visited and not tr.ack and r.written then t:add_proto_expert_info(e_no_ack) end
        end
    else
        info = "Reply" .. seqtext
        local g = r.group
        if g then
            link(f.reply_to, g.transaction and g.transaction.copies[#g.transaction.copies])
            link(f.ack_in, g.ack)
            t:add(f.copy, r.copy):set_generated()
            -- How many copies came, and which disagree, is known once the first pass has seen them all.
            if pinfo.visited then
                t:add(f.copies, #g.copies):set_generated()
                if piece.bytes ~= majority(g.copies) then t:add_proto_expert_info(e_copy) end
            end
            if r.copy > 1 then link(f.first_copy, g.first) end
            info = info .. " (copy " .. r.copy .. (pinfo.visited and (" of " .. #g.copies) or "") .. ")"
        end
    end
    if r.written then
        link(f.echo_in, r.echo_in)
        if pinfo.visited and not r.echo_in then t:add_proto_expert_info(e_no_echo) end
        if r.after_lost then t:add_proto_expert_info(e_after_lost) end
    end
    if not fr.whole then info = info .. " [cut short]" end
    t:append_text(": " .. info)
    if tvb:len() > size then tree:add(f.stray, tvb(size)):add_proto_expert_info(e_stray) end
    return info, fr.from_pc
end

local function show_bytes_record(tvb, pinfo, root, kind, rec)
    local pc = kind == RECORD_WRITTEN
    root:add(f.direction, pc and "PC to phone" or "line to PC"):set_generated()
    local infos, from_pc = {}, nil
    for _, piece in ipairs(rec.pieces) do
        local ptvb
        if piece.from and #piece.from > 1 then
            -- Reassembled from the records it came in.
            ptvb = ByteArray.new(hex(piece.bytes)):tvb("Reassembled M2BUS frame")
            local parts = root:add(ptvb(), "Reassembled from " .. #piece.from .. " records")
            for _, n in ipairs(piece.from) do parts:add(f.part, n):set_generated() end
        elseif piece.own_length > 0 then
            ptvb = tvb(1 + piece.own_first, piece.own_length):tvb()
        else
            ptvb = ByteArray.new(hex(piece.bytes)):tvb("M2BUS frame")
        end
        local info, pc_frame = show_piece(ptvb, pinfo, root, piece)
        infos[#infos + 1] = info
        if pc_frame ~= nil then from_pc = pc_frame end
    end
    if rec.held_from then
        local part = tvb(1 + rec.held_from, tvb:len() - 1 - rec.held_from)
        local item = root:add(part, "The start of a frame")
        if rec.continued_in then
            item:add(f.continued_in, rec.continued_in):set_generated()
            infos[#infos + 1] = "Part of a frame (continued in #" .. rec.continued_in .. ")"
        else
            infos[#infos + 1] = pinfo.visited and "Part of a frame never completed" or "Part of a frame"
        end
    end
    if rec.after_lost then root:add_proto_expert_info(e_after_lost) end
    if from_pc == nil then from_pc = rec.held_pc end
    if from_pc == nil then from_pc = pc end
    pinfo.cols.src = from_pc and "PC" or "phone"
    pinfo.cols.dst = from_pc and "phone" or "PC"
    return #infos > 0 and table.concat(infos, "; ") or "No bytes"
end

-- "<device>\0<text>[\0<more>]": the device and the text, each with its bytes, and what follows them.
local function named(body, root, text_field)
    local raw = body:raw()
    local zero = raw:find("\0", 1, true)
    local device_length = zero and zero - 1 or #raw
    local device = raw:sub(1, device_length)
    if device_length > 0 then root:add(f.device, body(0, device_length)) else root:add(f.device, "") end
    if not zero then return device, "", nil end
    local next_zero = raw:find("\0", zero + 1, true)
    local text = raw:sub(zero + 1, (next_zero or #raw + 1) - 1)
    if #text > 0 then root:add(text_field, body(zero, #text)) end
    return device, text, next_zero and raw:sub(next_zero + 1) or nil
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
    if not pinfo.visited then first_pass(tvb, pinfo, kind) end
    local rec = records[pinfo.number] or { pieces = {} }
    local body = tvb:len() > 1 and tvb(1):tvb() or nil
    local info
    if kind == RECORD_WRITTEN or kind == RECORD_READ then
        info = show_bytes_record(tvb, pinfo, root, kind, rec)
    elseif kind == RECORD_EVENT and body and body:len() >= 2 then
        local code = body(0, 2):le_int()
        local item = root:add_le(f.event_code, body(0, 2))
        local text = body:len() > 2 and body(2):string() or ""
        if body:len() > 2 then root:add(f.event_text, body(2)) end
        item:add_proto_expert_info(line_news[code] and e_news or e_event, #text > 0 and text or nil)
        info = "Line event " .. (event_names[code] or tostring(code)) .. ": " .. text
    elseif kind == RECORD_OPENED and body then
        local device, settings, records_kind = named(body, root, f.settings)
        if records_kind then root:add(f.records, records_kind):set_generated() end
        info = "Port opened: " .. device .. " " .. settings
    elseif kind == RECORD_OPEN_FAILED and body then
        local device, reason = named(body, root, f.reason)
        root:add_proto_expert_info(e_not_opened, "The port could not be opened: " .. reason)
        info = "Port not opened: " .. reason
    elseif kind == RECORD_CLOSED then
        info = "Port closed"
    elseif kind == RECORD_CONTINUED and body then
        local device, port = named(body, root, f.port)
        info = "Run continued: " .. device .. " (" .. port .. "), after another run's records"
    else
        info = "Unknown record " .. kind
    end
    -- Frames a line event or the closing ended as they stood.
    if kind ~= RECORD_WRITTEN and kind ~= RECORD_READ then
        for _, piece in ipairs(rec.pieces) do
            local ptvb = ByteArray.new(hex(piece.bytes)):tvb("M2BUS frame cut short")
            info = info .. "; " .. show_piece(ptvb, pinfo, root, piece)
        end
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
