-- Wireshark dissector for the hub's PC link: TCP, 72-byte records from the
-- hub to the PC and 20-byte records from the PC to the hub, with no framing
-- beyond their sizes. The direction tells the size: what comes from the
-- hub's port is a hub-to-PC record, what goes to it a PC-to-hub record.
--
-- Use:   wireshark -X lua_script:hub.lua
--        tshark -X lua_script:hub.lua -r capture.pcapng -V
-- The hub's port is 60000 unless the protocol's preferences say otherwise
-- (tshark: -o hub.port:61000); any port also works with "Decode As"
-- (tshark: -d tcp.port==61000,hub). Display filters: hub, hub.msgtype == 1,
-- hub.event == 3, hub.checksum.status == 0 (bad checksums), ...

local hub = Proto("hub", "Hub PC link")

local HUB_RECORD_SIZE = 72
local PC_RECORD_SIZE = 20
local DEFAULT_PORT = 60000

local msg_types = {
    [0] = "watchdog",
    [1] = "display line 0",
    [2] = "display line 1",
    [3] = "date/time",
    [4] = "exam status",
    [5] = "exam parameters",
    [6] = "test selection",
}

local events = {
    [0] = "PC_WATCHDOG",
    [1] = "PC_CLOSE_SOCKET",
    [2] = "PC_CHANGE_EXAM",
    [3] = "PC_CHANGE_KV_MA",
    [4] = "PC_CHANGE_FAMILY",
    [5] = "PC_CHANGE_PAT_TYPE",
    [6] = "PC_CHANGE_PAT_SIZE",
    [7] = "PC_CHANGE_PAT_DENT",
    [8] = "PC_REQ_TIME_START",
    [9] = "PC_SET_LAST_CAL_TIME",
    [10] = "PC_REQ_LAST_CAL_TIME",
    [11] = "PC_LOCK_KEYBORD",
    [12] = "PC_UNLOCK_KEYBORD",
    [100] = "PC_DEBUG_RX_ON",
    [101] = "PC_DEBUG_RX_OFF",
}

-- Same values as Wireshark's own checksum status fields.
local checksum_states = { [0] = "Bad", [1] = "Good" }

-- Hub-to-PC record.
local f_msgtype = ProtoField.uint16("hub.msgtype", "MsgType", base.DEC, msg_types)
local f_reserved = ProtoField.bytes("hub.reserved", "Reserved")
local f_word6 = ProtoField.uint16("hub.word6", "Word6", base.DEC)
local f_word8 = ProtoField.uint16("hub.word8", "Word8", base.DEC)
local f_word10 = ProtoField.uint16("hub.word10", "Word10", base.DEC)
local f_examstatus = ProtoField.uint8("hub.examstatus", "ExamStatus", base.DEC)
local f_byte13 = ProtoField.uint8("hub.byte13", "Byte13", base.DEC)
local f_byte14 = ProtoField.uint8("hub.byte14", "Byte14", base.DEC)
local f_byte15 = ProtoField.uint8("hub.byte15", "Byte15", base.DEC)
local f_byte16 = ProtoField.uint8("hub.byte16", "Byte16", base.DEC)
local f_byte17 = ProtoField.uint8("hub.byte17", "Byte17", base.DEC)
local f_line0 = ProtoField.string("hub.line0", "Line0")
local f_line1 = ProtoField.string("hub.line1", "Line1")
local f_year = ProtoField.uint16("hub.year", "Year", base.DEC)
local f_month = ProtoField.uint16("hub.month", "Month", base.DEC)
local f_day = ProtoField.uint8("hub.day", "Day", base.DEC)
local f_hour = ProtoField.uint8("hub.hour", "Hour", base.DEC)
local f_minute = ProtoField.uint8("hub.minute", "Minute", base.DEC)
local f_second = ProtoField.uint8("hub.second", "Second", base.DEC)
local f_model = ProtoField.string("hub.model", "Model")
local f_checksum = ProtoField.uint16("hub.checksum", "Checksum", base.HEX)
local f_checksum_calc = ProtoField.uint16("hub.checksum.calculated", "Calculated checksum", base.HEX)
local f_checksum_status = ProtoField.uint8("hub.checksum.status", "Checksum status", base.DEC, checksum_states)

-- PC-to-hub record.
local f_event = ProtoField.uint16("hub.event", "Event", base.DEC, events)
local f_pcstatus = ProtoField.uint16("hub.pcstatus", "PCStatus", base.DEC)
local f_pc_reserved = ProtoField.bytes("hub.pc_reserved", "Reserved")
local f_selfamily = ProtoField.uint16("hub.selfamily", "SelFamily", base.DEC)
local f_selexam = ProtoField.uint16("hub.selexam", "SelExam", base.DEC)
local f_kv = ProtoField.uint8("hub.kv", "kV", base.DEC)
local f_ma = ProtoField.uint8("hub.ma", "mA", base.DEC)
local f_selpattype = ProtoField.uint8("hub.selpattype", "SelPatType", base.DEC)
local f_selpatsize = ProtoField.uint8("hub.selpatsize", "SelPatSize", base.DEC)
local f_selpatdent = ProtoField.uint8("hub.selpatdent", "SelPatDent", base.DEC)

hub.fields = {
    f_msgtype, f_reserved, f_word6, f_word8, f_word10, f_examstatus,
    f_byte13, f_byte14, f_byte15, f_byte16, f_byte17, f_line0, f_line1,
    f_year, f_month, f_day, f_hour, f_minute, f_second, f_model,
    f_checksum, f_checksum_calc, f_checksum_status,
    f_event, f_pcstatus, f_pc_reserved, f_selfamily, f_selexam,
    f_kv, f_ma, f_selpattype, f_selpatsize, f_selpatdent,
}

local e_bad_checksum = ProtoExpert.new("hub.checksum.bad", "Bad checksum",
    expert.group.CHECKSUM, expert.severity.ERROR)
local e_unknown_type = ProtoExpert.new("hub.msgtype.unknown", "Unknown message type",
    expert.group.PROTOCOL, expert.severity.WARN)
-- The hub answers such a record with its "Event: Error!!!" trace and ignores it.
local e_unknown_event = ProtoExpert.new("hub.event.unknown", "Unknown event code",
    expert.group.PROTOCOL, expert.severity.WARN)

hub.experts = { e_bad_checksum, e_unknown_type, e_unknown_event }

hub.prefs.port = Pref.uint("TCP port", DEFAULT_PORT, "TCP port on which the hub listens for the PC")
hub.prefs.desegment = Pref.bool("Reassemble records spanning TCP segments", true,
    "Put a record split over several TCP segments together before decoding it")

-- The hub's checksum: the 16-bit sum of the nine big-endian words at 0, 8,
-- ..., 64. Little-endian fields there enter with their bytes exchanged.
local function hub_checksum(tvb)
    local sum = 0
    for k = 0, HUB_RECORD_SIZE - 8, 8 do
        sum = (sum + tvb(k, 2):uint()) % 65536
    end
    return sum
end

-- Text of a fixed-width field up to its first NUL.
local function field_text(tvb, offset, width)
    local s = tvb(offset, width):raw()
    local nul = s:find("\0", 1, true)
    if nul then s = s:sub(1, nul - 1) end
    return s
end

-- The port the hub listens on: the one that brought the packet to this
-- dissector (the preference or a "Decode As" entry), else the preference.
local function hub_port(pinfo)
    local matched = pinfo.match_uint
    if matched and matched ~= 0 and (pinfo.src_port == matched or pinfo.dst_port == matched) then
        return matched
    end
    return hub.prefs.port
end

local function from_hub(pinfo)
    return pinfo.src_port == hub_port(pinfo)
end

-- Several records can share one segment: the first one replaces the TCP
-- summary in the Info column, the others are appended to it.
local records_in_packet = 0

local function add_info(pinfo, text)
    if records_in_packet == 0 then
        pinfo.cols.info:set(text)
    else
        pinfo.cols.info:append("; " .. text)
    end
    records_in_packet = records_in_packet + 1
end

local function hub_summary(tvb, msgtype)
    if msgtype == 0 then
        local s = "Hub: watchdog"
        if tvb(8, 2):le_uint() == 6 then s = s .. " (CPU node not initialised)" end
        return s
    elseif msgtype == 1 or msgtype == 2 then
        local offset = msgtype == 1 and 22 or 38
        return string.format('Hub: display line %d "%s"', msgtype - 1, field_text(tvb, offset, 16))
    elseif msgtype == 3 then
        return string.format("Hub: date/time %04d-%02d-%02d %02d:%02d:%02d", tvb(54, 2):le_uint(),
            tvb(56, 2):le_uint(), tvb(58, 1):uint(), tvb(59, 1):uint(), tvb(60, 1):uint(), tvb(61, 1):uint())
    elseif msgtype == 4 then
        return string.format("Hub: exam status %d", tvb(12, 1):uint())
    elseif msgtype == 5 then
        return string.format("Hub: exam parameters Word6=%d Byte13..17=%d,%d,%d,%d,%d", tvb(6, 2):le_uint(),
            tvb(13, 1):uint(), tvb(14, 1):uint(), tvb(15, 1):uint(), tvb(16, 1):uint(), tvb(17, 1):uint())
    elseif msgtype == 6 then
        return string.format("Hub: test selection Word6=%d Word8=%d Word10=%d", tvb(6, 2):le_uint(),
            tvb(8, 2):le_uint(), tvb(10, 2):le_uint())
    end
    return string.format("Hub: unknown message type %d", msgtype)
end

local function dissect_hub_record(tvb, pinfo, tree)
    local msgtype = tvb(0, 2):le_uint()
    local name = msg_types[msgtype] or "unknown"
    local t = tree:add(hub, tvb(0, HUB_RECORD_SIZE))
    t:append_text(", hub to PC: " .. name)

    local type_item = t:add_le(f_msgtype, tvb(0, 2))
    if not msg_types[msgtype] then
        type_item:add_proto_expert_info(e_unknown_type, string.format("Unknown message type %d", msgtype))
    end
    t:add(f_reserved, tvb(2, 4))
    t:add_le(f_word6, tvb(6, 2))
    t:add_le(f_word8, tvb(8, 2))
    t:add_le(f_word10, tvb(10, 2))
    t:add(f_examstatus, tvb(12, 1))
    t:add(f_byte13, tvb(13, 1))
    t:add(f_byte14, tvb(14, 1))
    t:add(f_byte15, tvb(15, 1))
    t:add(f_byte16, tvb(16, 1))
    t:add(f_byte17, tvb(17, 1))
    t:add(f_reserved, tvb(18, 4))
    t:add(f_line0, tvb(22, 16))
    t:add(f_line1, tvb(38, 16))
    t:add_le(f_year, tvb(54, 2))
    t:add_le(f_month, tvb(56, 2))
    t:add(f_day, tvb(58, 1))
    t:add(f_hour, tvb(59, 1))
    t:add(f_minute, tvb(60, 1))
    t:add(f_second, tvb(61, 1))
    t:add(f_model, tvb(62, 8))

    -- The checksum alone stands high byte first.
    local sent = tvb(70, 2):uint()
    local computed = hub_checksum(tvb)
    local good = sent == computed
    local sum_item = t:add(f_checksum, tvb(70, 2))
    local status_item = t:add(f_checksum_status, tvb(70, 2), good and 1 or 0)
    status_item:set_generated()
    local summary = hub_summary(tvb, msgtype)
    if good then
        sum_item:append_text(" [correct]")
    else
        sum_item:append_text(string.format(" [incorrect, should be 0x%04x]", computed))
        t:add(f_checksum_calc, tvb(70, 2), computed):set_generated()
        sum_item:add_proto_expert_info(e_bad_checksum,
            string.format("Bad checksum 0x%04x, should be 0x%04x", sent, computed))
        summary = summary .. " [BAD CHECKSUM]"
    end
    add_info(pinfo, summary)
    return HUB_RECORD_SIZE
end

local function pc_summary(tvb, event)
    local name = events[event]
    if not name then return string.format("PC: unknown event %d", event) end
    local s = "PC: " .. name
    if event == 0 then
        s = s .. string.format(" PCStatus=%d", tvb(2, 2):le_uint())
    elseif event == 2 or event == 4 then
        s = s .. string.format(" SelFamily=%d SelExam=%d", tvb(8, 2):le_uint(), tvb(10, 2):le_uint())
    elseif event == 3 then
        s = s .. string.format(" %d kV %d mA", tvb(12, 1):uint(), tvb(13, 1):uint())
    elseif event == 5 then
        s = s .. string.format(" SelPatType=%d", tvb(14, 1):uint())
    elseif event == 6 then
        s = s .. string.format(" SelPatSize=%d", tvb(15, 1):uint())
    elseif event == 7 then
        s = s .. string.format(" SelPatDent=%d", tvb(16, 1):uint())
    end
    return s
end

local function dissect_pc_record(tvb, pinfo, tree)
    local event = tvb(0, 2):le_uint()
    local name = events[event] or "unknown event"
    local t = tree:add(hub, tvb(0, PC_RECORD_SIZE))
    t:append_text(", PC to hub: " .. name)

    local event_item = t:add_le(f_event, tvb(0, 2))
    if not events[event] then
        event_item:add_proto_expert_info(e_unknown_event, string.format("Unknown event code %d", event))
    end
    t:add_le(f_pcstatus, tvb(2, 2))
    t:add(f_pc_reserved, tvb(4, 4))
    t:add_le(f_selfamily, tvb(8, 2))
    t:add_le(f_selexam, tvb(10, 2))
    t:add(f_kv, tvb(12, 1))
    t:add(f_ma, tvb(13, 1))
    t:add(f_selpattype, tvb(14, 1))
    t:add(f_selpatsize, tvb(15, 1))
    t:add(f_selpatdent, tvb(16, 1))
    t:add(f_pc_reserved, tvb(17, 3))
    add_info(pinfo, pc_summary(tvb, event))
    return PC_RECORD_SIZE
end

-- Called by dissect_tcp_pdus with exactly one whole record.
local function dissect_record(tvb, pinfo, tree)
    if from_hub(pinfo) then
        return dissect_hub_record(tvb, pinfo, tree)
    end
    return dissect_pc_record(tvb, pinfo, tree)
end

function hub.dissector(tvb, pinfo, tree)
    local size = from_hub(pinfo) and HUB_RECORD_SIZE or PC_RECORD_SIZE
    pinfo.cols.protocol = "HUB"
    records_in_packet = 0
    -- Records have a fixed size per direction: no header to read a length from.
    dissect_tcp_pdus(tvb, tree, size, function() return size end, dissect_record, hub.prefs.desegment)
    return tvb:len()
end

local tcp_port_table = DissectorTable.get("tcp.port")
local registered_port = hub.prefs.port
tcp_port_table:add(registered_port, hub)
tcp_port_table:add_for_decode_as(hub)

function hub.prefs_changed()
    if hub.prefs.port ~= registered_port then
        if registered_port ~= 0 then tcp_port_table:remove(registered_port, hub) end
        registered_port = hub.prefs.port
        if registered_port ~= 0 then tcp_port_table:add(registered_port, hub) end
    end
end
