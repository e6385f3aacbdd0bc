-- Wireshark and tshark dissector of the readout module's protocol ("daqm"): requests from the
-- host, the acknowledge of each, and the data packets of a run, all on UDP port 10000 of the
-- module. Load it with `tshark -X lua_script:daqm.lua`, or copy it to the personal Lua
-- plugins folder (docs/wireshark.md).
--
-- Every header word and payload field has a display-filter name: daqm.event == 5,
-- daqm.error != 0, daqm.mode == 4, daqm.gap > 0. Malformed packets carry an expert warning
-- (daqm.too_short, daqm.bad_magic, daqm.odd_length, daqm.length_mismatch, daqm.no_trailer).
-- An acknowledge names its request and the time since it (daqm.ack_time); a data packet
-- after a gap in its stream's event numbers says how many are missing (daqm.gap).

local daqm = Proto("daqm", "DAQ readout module protocol")

local MAGIC = 0xCAFE
local TRAILER = 0xACAB
local REPLY_FLAG = 0x80
local DATA_CODE = 14
local HEADER_BYTES = 20 -- nine header words and the trailer of a data packet
local ACK_BYTES = 16

local command_names = {
    [0] = "unknown",
    [1] = "stream configuration",
    [2] = "hold delay",
    [3] = "bias",
    [4] = "mbias",
    [5] = "coincidence time window",
    [6] = "no action",
    [7] = "configuration",
    [8] = "readout mode",
    [9] = "trigger type",
    [10] = "DAQ command",
    [11] = "discovery",
    [14] = "data",
}

local error_names = {
    [0] = "done",
    [1] = "no such hybrid",
    [255] = "unknown command",
}

local mode_names = {
    [1] = "all channels",
    [2] = "hit channel",
    [4] = "hit and neighbours",
}

local kind_names = { "request", "acknowledge", "data" }

local function command_name(code)
    return command_names[code] or "unknown"
end

local f = daqm.fields
f.kind = ProtoField.string("daqm.kind", "Packet kind")
f.magic = ProtoField.uint16("daqm.magic", "Magic", base.HEX)
f.code_word = ProtoField.uint16("daqm.code_word", "Code word", base.HEX)
f.code = ProtoField.uint8("daqm.code", "Command code", base.DEC, command_names)
f.ack_code = ProtoField.uint8("daqm.ack_code", "Acknowledged code byte", base.HEX)
f.reply = ProtoField.bool("daqm.reply", "Reply flag", 8, nil, REPLY_FLAG)
f.word2 = ProtoField.uint16("daqm.word2", "Word 2", base.HEX)
f.word3 = ProtoField.uint16("daqm.word3", "Word 3", base.HEX)
f.hybrid = ProtoField.uint8("daqm.hybrid", "Hybrid", base.DEC, { [255] = "whole module" })
f.chip_type = ProtoField.uint16("daqm.chip_type", "Chip type", base.DEC, nil, 0x00F0)
f.chips = ProtoField.uint8("daqm.chips", "Chips", base.DEC)
f.nadj = ProtoField.uint16("daqm.nadj", "Neighbours on each side (nadj)", base.DEC)
f.command = ProtoField.uint16("daqm.command", "DAQ command", base.DEC)
f.run = ProtoField.string("daqm.run", "Run")
f.extra = ProtoField.bytes("daqm.extra", "Further bytes (not read by the module)")
f.trailer = ProtoField.uint16("daqm.trailer", "Trailer", base.HEX)
f.error = ProtoField.uint16("daqm.error", "Error", base.DEC, error_names)
f.version = ProtoField.string("daqm.version", "Version")
f.word6 = ProtoField.uint16("daqm.word6", "Word 6", base.HEX)
f.stream = ProtoField.uint8("daqm.stream", "Stream")
f.count = ProtoField.uint16("daqm.count", "Count", base.DEC)
f.event = ProtoField.uint16("daqm.event", "Event number", base.DEC)
f.timestamp = ProtoField.uint32("daqm.timestamp", "Time stamp (us since the run began)", base.DEC)
f.time_value_word = ProtoField.uint16("daqm.time_value_word", "Time value word", base.HEX)
f.time_value = ProtoField.double("daqm.time_value", "Time value")
f.mode_word = ProtoField.uint16("daqm.mode_word", "Stream and readout mode", base.HEX)
f.mode = ProtoField.uint16("daqm.mode", "Readout mode", base.DEC, mode_names, 0x000F)
f.value = ProtoField.uint16("daqm.value", "Value", base.DEC)
f.triple = ProtoField.none("daqm.triple", "Triple")
f.channel = ProtoField.uint16("daqm.channel", "Channel", base.DEC)
f.right = ProtoField.uint16("daqm.right", "Value to the right", base.DEC)
f.left = ProtoField.uint16("daqm.left", "Value to the left", base.DEC)
f.gap = ProtoField.uint16("daqm.gap", "Events missing before this one", base.DEC)
f.previous = ProtoField.framenum("daqm.previous", "Previous packet of the stream", base.NONE)
f.ack_in = ProtoField.framenum("daqm.ack_in", "Acknowledged in", base.NONE, frametype.RESPONSE)
f.request_in = ProtoField.framenum("daqm.request_in", "Request in", base.NONE, frametype.REQUEST)
f.ack_time = ProtoField.relative_time("daqm.ack_time", "Time since the request")

local e = {
    too_short = ProtoExpert.new("daqm.too_short", "Too short for a packet",
        expert.group.MALFORMED, expert.severity.WARN),
    bad_magic = ProtoExpert.new("daqm.bad_magic", "Bad magic: not 0xCAFE",
        expert.group.MALFORMED, expert.severity.WARN),
    odd_length = ProtoExpert.new("daqm.odd_length", "Odd length: not a whole number of words",
        expert.group.MALFORMED, expert.severity.WARN),
    length_mismatch = ProtoExpert.new("daqm.length_mismatch", "Length does not match",
        expert.group.MALFORMED, expert.severity.WARN),
    no_trailer = ProtoExpert.new("daqm.no_trailer", "Missing trailer 0xACAB",
        expert.group.MALFORMED, expert.severity.WARN),
    error = ProtoExpert.new("daqm.error_reply", "Request refused",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    gap = ProtoExpert.new("daqm.gap_found", "Gap in the stream's event numbers",
        expert.group.SEQUENCE, expert.severity.NOTE),
}
daqm.experts = { e.too_short, e.bad_magic, e.odd_length, e.length_mismatch, e.no_trailer,
    e.error, e.gap }

daqm.prefs.port = Pref.uint("Module port", 10000, "The UDP port of the module")

-- What the first pass learns across packets, kept per frame for later passes (Wireshark
-- dissects a frame again whenever it is shown, in any order).
local pending = {} -- module and code -> the request frame that waits for its acknowledge
local streams = {} -- module and stream -> last event number and its frame
local requests = {} -- request frame -> acknowledge frame
local acks = {} -- acknowledge frame -> { request frame, seconds since it }
local gaps = {} -- data frame -> { missing events, previous frame }

function daqm.init()
    pending, streams, requests, acks, gaps = {}, {}, {}, {}, {}
end

local function endpoint(address, port)
    return tostring(address) .. ":" .. port
end

-- The expected length of a data packet of this count and readout mode.
local function data_length(count, mode)
    if mode == 1 then return HEADER_BYTES + 2 * count end
    if mode == 2 then return HEADER_BYTES + 6 end
    if mode == 4 then return HEADER_BYTES + 6 * (count + 1) end
    return HEADER_BYTES
end

-- Adds the trailer field, or the expert warning when the last word is not the trailer.
local function add_trailer(tvb, tree, item)
    local length = tvb:len()
    if length >= 2 and tvb(length - 2, 2):uint() == TRAILER then
        tree:add(f.trailer, tvb(length - 2, 2))
        return true
    end
    item:add_proto_expert_info(e.no_trailer)
    return false
end

local function time_value_of(word)
    local value = bit.band(bit.rshift(word, 4), 0x7F) + bit.band(word, 0xF) / 16
    if bit.band(word, 0x800) ~= 0 then value = -value end
    return value
end

local function dissect_request(tvb, pinfo, tree, item)
    local length = tvb:len()
    tree:add(f.kind, "request")
    local magic = tvb(0, 2):uint()
    tree:add(f.magic, tvb(0, 2))
    tree:add(f.code_word, tvb(2, 2))
    local code = tvb(3, 1):uint()
    tree:add(f.code, tvb(3, 1))
    local info = "Request: " .. command_name(code)
    if bit.band(magic, MAGIC) ~= MAGIC then
        item:add_proto_expert_info(e.bad_magic, "Bad magic: the module drops this request")
    end
    if length % 2 ~= 0 then item:add_proto_expert_info(e.odd_length) end

    if length >= 6 then tree:add(f.word2, tvb(4, 2)) end
    if length >= 8 then tree:add(f.word3, tvb(6, 2)) end
    if length >= 8 then
        local hybrid = tvb(4, 1):uint()
        if code == 1 then
            tree:add(f.hybrid, tvb(4, 1))
            tree:add(f.chip_type, tvb(4, 2))
            tree:add(f.chips, tvb(6, 1))
            info = string.format("%s, hybrid %d, chip type %d, %d chips", info, hybrid,
                bit.rshift(bit.band(tvb(4, 2):uint(), 0xF0), 4), tvb(6, 1):uint())
        elseif code == 8 then
            tree:add(f.hybrid, tvb(4, 1))
            tree:add(f.mode, tvb(4, 2))
            tree:add(f.nadj, tvb(6, 2))
            info = string.format("%s, hybrid %d, mode %d, nadj %d", info, hybrid,
                bit.band(tvb(4, 2):uint(), 0xF), tvb(6, 2):uint())
        elseif code == 10 then
            tree:add(f.hybrid, tvb(4, 1))
            tree:add(f.command, tvb(6, 2))
            local run = tvb(6, 2):uint() == 0 and "stop" or "start"
            tree:add(f.run, run)
            info = string.format("%s, %s, hybrid %d", info, run, hybrid)
        end
    end
    if length > 8 then
        if length == 10 and tvb(8, 2):uint() == TRAILER then
            tree:add(f.trailer, tvb(8, 2))
        else
            tree:add(f.extra, tvb(8))
        end
    end

    if not pinfo.visited then
        pending[endpoint(pinfo.dst, pinfo.dst_port) .. "/" .. code] = {
            frame = pinfo.number, time = pinfo.rel_ts }
    end
    if requests[pinfo.number] then tree:add(f.ack_in, requests[pinfo.number]) end
    return info
end

local function dissect_ack(tvb, pinfo, tree, item)
    local length = tvb:len()
    tree:add(f.kind, "acknowledge")
    tree:add(f.magic, tvb(0, 2))
    tree:add(f.code_word, tvb(2, 2))
    local code_byte = tvb(3, 1):uint()
    tree:add(f.ack_code, tvb(3, 1))
    tree:add(f.reply, tvb(3, 1))
    if length ~= ACK_BYTES then
        item:add_proto_expert_info(e.length_mismatch,
            string.format("Length %d does not match an acknowledge (16 bytes)", length))
    end

    -- The request it answers: the last one of its code sent to this module. A request code
    -- with the reply flag already set (0x8B) has an acknowledge with the same code byte.
    local module = endpoint(pinfo.src, pinfo.src_port)
    if not pinfo.visited then
        local code = code_byte
        local request = pending[module .. "/" .. code]
        if not request and code >= REPLY_FLAG then
            code = code - REPLY_FLAG
            request = pending[module .. "/" .. code]
        end
        if request then
            pending[module .. "/" .. code] = nil
            requests[request.frame] = pinfo.number
            acks[pinfo.number] = { frame = request.frame, code = code,
                seconds = pinfo.rel_ts - request.time }
        end
    end
    local matched = acks[pinfo.number]
    local code = matched and matched.code or bit.band(code_byte, 0x7F)
    tree:add(f.code, tvb(3, 1), code)

    local info = "Ack: " .. command_name(code)
    if length >= 6 then tree:add(f.word2, tvb(4, 2)) end
    if length >= 8 then
        local error = tvb(6, 2):uint()
        local error_item = tree:add(f.error, tvb(6, 2))
        if error ~= 0 then error_item:add_proto_expert_info(e.error) end
        info = info .. ", " .. (error_names[error] or ("error " .. error))
    end
    if length >= 12 then
        local version = string.format("%d.%d.%d", tvb(9, 1):uint(), tvb(10, 1):uint(),
            tvb(11, 1):uint())
        tree:add(f.version, tvb(8, 4), version)
        info = info .. ", version " .. version
    end
    if length >= 14 then tree:add(f.word6, tvb(12, 2)) end
    add_trailer(tvb, tree, item)

    if matched then
        tree:add(f.request_in, matched.frame)
        local seconds = math.floor(matched.seconds)
        local nanoseconds = math.floor((matched.seconds - seconds) * 1e9 + 0.5)
        tree:add(f.ack_time, NSTime.new(seconds, nanoseconds)):set_generated()
    end
    return info
end

local function dissect_data(tvb, pinfo, tree, item)
    local length = tvb:len()
    tree:add(f.kind, "data")
    if length < HEADER_BYTES then
        item:add_proto_expert_info(e.too_short,
            string.format("Too short for a data packet: %d bytes, at least 20", length))
        return string.format("Data: %d bytes, too short", length)
    end
    local magic_item = tree:add(f.magic, tvb(0, 2))
    local whole = tvb(0, 2):uint() == MAGIC
    if not whole then magic_item:add_proto_expert_info(e.bad_magic) end
    tree:add(f.code_word, tvb(2, 2))
    local stream = tvb(2, 1):uint()
    tree:add(f.stream, tvb(2, 1))
    tree:add(f.code, tvb(3, 1))
    local count = tvb(4, 2):uint()
    tree:add(f.count, tvb(4, 2))
    local event = tvb(6, 2):uint()
    tree:add(f.event, tvb(6, 2))
    tree:add(f.timestamp, tvb(8, 4))
    tree:add(f.word6, tvb(12, 2))
    tree:add(f.time_value_word, tvb(14, 2))
    tree:add(f.time_value, tvb(14, 2), time_value_of(tvb(14, 2):uint()))
    tree:add(f.mode_word, tvb(16, 2))
    local mode = bit.band(tvb(16, 2):uint(), 0xF)
    tree:add(f.mode, tvb(16, 2))

    local expected = data_length(count, mode)
    whole = whole and length == expected
    if length % 2 ~= 0 then
        item:add_proto_expert_info(e.odd_length)
    elseif length ~= expected then
        item:add_proto_expert_info(e.length_mismatch, string.format(
            "Length %d does not match mode %d and count %d (%d bytes)", length, mode, count,
            expected))
    end
    local has_trailer = length >= 2 and tvb(length - 2, 2):uint() == TRAILER
    whole = whole and has_trailer

    -- The payload that the datagram holds, whatever its header says.
    local payload_end = length - (has_trailer and 2 or 0)
    local words = math.floor((payload_end - 18) / 2)
    if mode == 1 then
        for i = 0, words - 1 do
            tree:add(f.value, tvb(18 + 2 * i, 2)):prepend_text("Channel " .. i .. ": ")
        end
    elseif mode == 2 or mode == 4 then
        for m = 0, math.floor(words / 3) - 1 do
            local at = 18 + 6 * m
            local triple = tree:add(f.triple, tvb(at, 6))
            triple:set_text(string.format("Triple %d: channel %d, right %d, left %d", m,
                tvb(at, 2):uint(), tvb(at + 2, 2):uint(), tvb(at + 4, 2):uint()))
            triple:add(f.channel, tvb(at, 2))
            triple:add(f.right, tvb(at + 2, 2))
            triple:add(f.left, tvb(at + 4, 2))
        end
    end
    add_trailer(tvb, tree, item)

    -- Event numbers count from 1 in each run and wrap after 65535; a run's first packet
    -- starts the count again. A malformed packet counts for nothing.
    if whole and not pinfo.visited then
        local key = endpoint(pinfo.src, pinfo.src_port) .. "/" .. stream
        local last = streams[key]
        if last and event ~= 1 then
            gaps[pinfo.number] = { missing = (event - last.event - 1) % 65536, frame = last.frame }
        end
        streams[key] = { event = event, frame = pinfo.number }
    end
    local gap = gaps[pinfo.number]
    if gap then
        local gap_item = tree:add(f.gap, gap.missing)
        gap_item:set_generated()
        tree:add(f.previous, gap.frame):set_generated()
        if gap.missing > 0 then
            gap_item:add_proto_expert_info(e.gap,
                string.format("%d events missing before this one", gap.missing))
        end
    end
    local info = string.format("Data: stream %d, event %d, mode %d", stream, event, mode)
    if gap and gap.missing > 0 then info = info .. string.format(" [%d missing]", gap.missing) end
    return info
end

function daqm.dissector(tvb, pinfo, root)
    local length = tvb:len()
    if length == 0 then return 0 end
    pinfo.cols.protocol = "DAQM"
    local item = root:add(daqm, tvb())
    local tree = item
    if length < 4 then
        tree:add(f.kind, "too short")
        item:add_proto_expert_info(e.too_short,
            string.format("Too short for a packet: %d bytes, at least 4", length))
        pinfo.cols.info = string.format("Too short: %d bytes", length)
        return length
    end

    -- The port that brought the packet here is the module's: datagrams to it are requests,
    -- datagrams from it acknowledges or data packets.
    local module_port = pinfo.match_uint
    if module_port == nil or module_port == 0 then module_port = daqm.prefs.port end
    local to_module = pinfo.dst_port == module_port
    local kind
    if to_module then
        kind = 1
    elseif tvb(3, 1):uint() == DATA_CODE then
        kind = 3
    else
        kind = 2
    end
    local info
    if kind == 1 then
        info = dissect_request(tvb, pinfo, tree, item)
    elseif kind == 2 then
        info = dissect_ack(tvb, pinfo, tree, item)
    else
        info = dissect_data(tvb, pinfo, tree, item)
    end
    item:append_text(", " .. kind_names[kind])
    pinfo.cols.info = info
    return length
end

local udp_port = DissectorTable.get("udp.port")
local registered_port = daqm.prefs.port
udp_port:add(registered_port, daqm)
udp_port:add_for_decode_as(daqm)

function daqm.prefs_changed()
    if daqm.prefs.port ~= registered_port then
        udp_port:remove(registered_port, daqm)
        registered_port = daqm.prefs.port
        udp_port:add(registered_port, daqm)
    end
end
