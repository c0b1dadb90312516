-- Wireshark dissector for the two USB protocols of the display adapters VelUSBDisplay drives:
--   vel520  model 520 (product IDs 0x0520, 0x0522, 0x520A): every message starts with the
--           32-byte "VELC" header (commands, responses, notifications, firmware-log blocks,
--           image packets with their 80-byte data header, JPEG and decoder header);
--   vel50x  the 50x family (0x0500, 0x0505, 0x0508): every packet starts with the 12-byte magic
--           "veltarvexsta" (command parameter blocks, control replies, events, EDID and mode-list
--           replies, cursor packets, image packets with their 48-byte header, SROM update packets).
--
-- Both register as heuristic dissectors of USB bulk and interrupt payloads and claim a transfer
-- only by its magic, so they work on any usbmon capture whether or not it holds the descriptors.
-- Install into Wireshark's global Lua plug-in folder (`cmake --install` does), or load one-off:
--   tshark -X lua_script:velusbdisplay.lua -r capture.pcap
--
-- Everything read from a packet is bounded by the bytes the capture kept: a transfer the capture
-- cut short is decoded as far as it goes and marked "cut by the capture"; a packet whose own
-- lengths or counts do not add up is marked malformed (expert info vel520.malformed or
-- vel50x.malformed) and decoded no further than is safe.

local P520 = Proto("vel520", "VelUSBDisplay model-520 protocol")
local P50X = Proto("vel50x", "VelUSBDisplay 50x-family protocol")

local f_ep = Field.new("usb.endpoint_address")
local f_bus = Field.new("usb.bus_id")
local f_addr = Field.new("usb.device_address")

-- ---------------------------------------------------------------------------------------------
-- Small helpers shared by both protocols.

-- True when [off, off + len) lies within the captured bytes.
local function have(tvb, off, len)
    return off >= 0 and len >= 0 and off + len <= tvb:len()
end

local function le_u(tvb, off, len)
    return tvb(off, len):le_uint()
end

-- The text at [off, off + len) up to its first NUL (the whole range when it has none).
local function cstr(tvb, off, len)
    local s = tvb:raw(off, len)
    local z = s:find("\0", 1, true)
    return z and s:sub(1, z - 1) or s
end

-- Byte `i` (0-based) of a Lua string as a number.
local function sbyte(s, i)
    return s:byte(i + 1) or 0
end

local function kbytes(n)
    return string.format("%d KB", math.floor((n + 500) / 1000))
end

local function device_key()
    local bus, addr = f_bus(), f_addr()
    return tostring(bus and bus.value or 0) .. ":" .. tostring(addr and addr.value or 0)
end

local function is_in()
    local ep = f_ep()
    return ep ~= nil and ep.value >= 0x80
end

-- The JPEG's own properties, read from its markers within `s` (a Lua string of the JPEG area):
-- picture size, sampling, quality (the IJG scale of its luminance table, when one matches),
-- and its length up to the end marker (trailing zero padding excluded). Fields left nil are
-- missing; `err` names the first problem.
local ZIGZAG = { 0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40,
    48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30,
    37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63 }
-- ITU-T T.81 Annex K.1, natural order.
local STD_LUMA = { 16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16,
    24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35,
    55, 64, 81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103,
    99 }

-- The IJG quality 1..100 whose scaled Annex K table equals `q` (64 values in stream order), or
-- nil when none does.
local function ijg_quality(q)
    for quality = 100, 1, -1 do
        local scale = quality < 50 and math.floor(5000 / quality) or 200 - 2 * quality
        local match = true
        for k = 1, 64 do
            local v = math.floor((STD_LUMA[ZIGZAG[k] + 1] * scale + 50) / 100)
            if v < 1 then v = 1 elseif v > 255 then v = 255 end
            if v ~= q[k] then
                match = false
                break
            end
        end
        if match then return quality end
    end
    return nil
end

local SAMPLING = { [0x22] = "4:2:0", [0x21] = "4:2:2", [0x12] = "4:4:0", [0x11] = "4:4:4" }

-- `head` holds the first bytes of the JPEG area (enough for its markers), `tail` its last
-- bytes, `area` the area's length.
local function jpeg_info(head, tail, area)
    local info = {}
    if sbyte(head, 0) ~= 0xFF or sbyte(head, 1) ~= 0xD8 then
        info.err = "no JPEG start marker"
        return info
    end
    local pos = 2
    while pos + 4 <= #head do
        if sbyte(head, pos) ~= 0xFF then
            info.err = "JPEG marker expected at " .. pos
            return info
        end
        local m = sbyte(head, pos + 1)
        if m == 0xFF then
            pos = pos + 1
        elseif m == 0xD8 or (m >= 0xD0 and m <= 0xD7) or m == 0x01 then
            pos = pos + 2
        elseif m == 0xD9 then
            break
        else
            local len = sbyte(head, pos + 2) * 256 + sbyte(head, pos + 3)
            if len < 2 then
                info.err = "JPEG segment length " .. len
                return info
            end
            local seg = pos + 4
            if m == 0xDB then
                local at, stop = seg, pos + 2 + len
                while at < stop and at < #head do
                    local pq, tq = math.floor(sbyte(head, at) / 16), sbyte(head, at) % 16
                    local n = pq == 0 and 64 or 128
                    if tq == 0 and pq == 0 and at + 64 < #head then
                        local t = {}
                        for k = 1, 64 do t[k] = sbyte(head, at + k) end
                        info.quality = ijg_quality(t)
                    end
                    at = at + 1 + n
                end
            elseif m >= 0xC0 and m <= 0xC2 and seg + 6 <= #head then
                info.height = sbyte(head, seg + 1) * 256 + sbyte(head, seg + 2)
                info.width = sbyte(head, seg + 3) * 256 + sbyte(head, seg + 4)
                local ncomp = sbyte(head, seg + 5)
                if ncomp == 1 then
                    info.sampling = "4:0:0"
                elseif seg + 7 < #head then
                    info.sampling = SAMPLING[sbyte(head, seg + 7)] or
                        string.format("0x%02x", sbyte(head, seg + 7))
                end
            elseif m == 0xDA then
                break  -- entropy-coded data follow
            end
            pos = pos + 2 + len
        end
    end
    -- The area may be padded with zeros after the end marker.
    local last = tail:find("[^\0]\0*$")
    if last and last >= 2 and sbyte(tail, last - 2) == 0xFF and sbyte(tail, last - 1) == 0xD9 then
        info.size = area - #tail + last
    elseif not info.err then
        info.err = "no JPEG end marker"
    end
    return info
end

-- Decoder-header fields: record count, and per record the parse state the adapter's decoder
-- takes (offsets of the two record formats).
local DEC_LAYOUT = {
    [0] = { size = 2856, width = 116, height = 120, aw = 124, ah = 128, hsize = 132, ecs = 136,
        format = 152, restart = 156, userhuff = 160, comps = 2720, mcuw = 2756, mcuh = 2760,
        formats = { [0] = "4:2:0", [1] = "4:2:2", [2] = "4:4:0", [3] = "4:4:4", [4] = "4:0:0" } },
    [1] = { size = 6120, width = 76, height = 80, aw = 84, ah = 88, hsize = 92, ecs = 96,
        format = 112, restart = 116, userhuff = 120, comps = 5928, mcuw = 5964, mcuh = 5968,
        formats = { [0] = "4:2:0", [1] = "4:2:2", [3] = "4:4:0", [4] = "4:4:4", [5] = "4:0:0" } },
}

local function decoder_fields(prefix)
    local d = {}
    d.count = ProtoField.uint8(prefix .. ".dec.count", "Record count")
    d.record_size = ProtoField.uint32(prefix .. ".dec.record_size", "Record size")
    d.width = ProtoField.int32(prefix .. ".dec.width", "Picture width")
    d.height = ProtoField.int32(prefix .. ".dec.height", "Picture height")
    d.aw = ProtoField.int32(prefix .. ".dec.aligned_width", "Aligned width")
    d.ah = ProtoField.int32(prefix .. ".dec.aligned_height", "Aligned height")
    d.stream = ProtoField.int32(prefix .. ".dec.stream_size", "Stream size")
    d.hsize = ProtoField.int32(prefix .. ".dec.header_size", "Header size")
    d.ecs = ProtoField.int32(prefix .. ".dec.ecs", "Entropy-data offset")
    d.format = ProtoField.uint32(prefix .. ".dec.format", "Format code")
    d.restart = ProtoField.int32(prefix .. ".dec.restart", "Restart interval")
    d.userhuff = ProtoField.int32(prefix .. ".dec.user_huffman", "User Huffman tables")
    d.comps = ProtoField.int32(prefix .. ".dec.components", "Components")
    d.mcuw = ProtoField.int32(prefix .. ".dec.mcu_width", "MCU width")
    d.mcuh = ProtoField.int32(prefix .. ".dec.mcu_height", "MCU height")
    return d
end

-- Adds the decoder header at [off, off + len) to `tree`. Returns nil, or the reason it is
-- malformed; a header beyond the captured bytes is shown as far as it goes.
local function dissect_decoder(tvb, tree, off, len, protocol, d)
    local lay = DEC_LAYOUT[protocol]
    if len <= 0 then return "decoder header missing (length " .. len .. ")" end
    local dt = tree:add(tvb(math.min(off, tvb:len()), 0), "Decoder header (" .. len .. " bytes)")
    if not have(tvb, off, 1) then
        dt:append_text(" [not captured]")
        return nil
    end
    local n = tvb(off, 1):uint()
    dt:add(d.count, tvb(off, 1))
    dt:add(d.record_size, tvb(off, 1), lay.size):set_generated()
    if n < 1 or n > 3 then return "decoder header record count " .. n end
    if len ~= 1 + n * lay.size then
        return string.format("decoder header of %d bytes for %d records of %d", len, n, lay.size)
    end
    for r = 0, n - 1 do
        local base = off + 1 + r * lay.size
        if not have(tvb, base, lay.size) then
            dt:add(tvb(math.min(base, tvb:len()), 0), "Record " .. (r + 1) .. " [not captured]")
            break
        end
        local rt = dt:add(tvb(base, lay.size), "Record " .. (r + 1))
        local function put(field, at) rt:add_le(field, tvb(base + at, 4)) end
        put(d.stream, 20)
        put(d.width, lay.width)
        put(d.height, lay.height)
        put(d.aw, lay.aw)
        put(d.ah, lay.ah)
        put(d.hsize, lay.hsize)
        put(d.ecs, lay.ecs)
        local fmt = le_u(tvb, base + lay.format, 4)
        rt:add_le(d.format, tvb(base + lay.format, 4)):append_text(
            " (" .. (lay.formats[fmt] or "unknown") .. ")")
        put(d.restart, lay.restart)
        put(d.userhuff, lay.userhuff)
        put(d.comps, lay.comps)
        put(d.mcuw, lay.mcuw)
        put(d.mcuh, lay.mcuh)
        rt:append_text(string.format(": %dx%d %s", tvb(base + lay.width, 4):le_int(),
            tvb(base + lay.height, 4):le_int(), lay.formats[fmt] or "?"))
    end
    return nil
end

-- Adds the JPEG at [off, off + area) and its generated properties. Returns the jpeg_info.
local function dissect_jpeg(tvb, tree, off, area, fields)
    local cap = math.max(0, math.min(area, tvb:len() - off))
    local jt = tree:add(fields.jpeg, tvb(math.min(off, tvb:len()), cap))
    jt:set_text(string.format("JPEG data (%d bytes%s)", area,
        cap < area and (", " .. cap .. " captured") or ""))
    local head = cap > 0 and tvb:raw(off, math.min(cap, 2048)) or ""
    local tail = ""
    if cap == area and cap > 0 then
        local t = math.min(cap, 4096)
        tail = tvb:raw(off + cap - t, t)
    end
    local info = jpeg_info(head, tail, area)
    if cap < area and info.err == "no JPEG end marker" then info.err = nil end
    jt:add(fields.jpeg_area, tvb(off, 0), area):set_generated()
    if info.size then jt:add(fields.jpeg_size, tvb(off, 0), info.size):set_generated() end
    if info.width then
        jt:add(fields.jpeg_width, tvb(off, 0), info.width):set_generated()
        jt:add(fields.jpeg_height, tvb(off, 0), info.height):set_generated()
    end
    if info.sampling then jt:add(fields.jpeg_sampling, tvb(off, 0), info.sampling):set_generated() end
    if info.quality then jt:add(fields.jpeg_quality, tvb(off, 0), info.quality):set_generated() end
    return info
end

local function jpeg_fields(prefix)
    return {
        jpeg = ProtoField.bytes(prefix .. ".jpeg", "JPEG data"),
        jpeg_area = ProtoField.uint32(prefix .. ".jpeg.area", "JPEG area"),
        jpeg_size = ProtoField.uint32(prefix .. ".jpeg.size", "JPEG size"),
        jpeg_width = ProtoField.uint16(prefix .. ".jpeg.width", "JPEG width"),
        jpeg_height = ProtoField.uint16(prefix .. ".jpeg.height", "JPEG height"),
        jpeg_sampling = ProtoField.string(prefix .. ".jpeg.sampling", "JPEG sampling"),
        jpeg_quality = ProtoField.uint8(prefix .. ".jpeg.quality", "JPEG quality"),
    }
end

local function register_all(proto, tables)
    local list = {}
    for _, t in ipairs(tables) do
        for _, f in pairs(t) do list[#list + 1] = f end
    end
    proto.fields = list
end

-- =============================================================================================
-- Model 520.

local CLASS520 = { [0] = "query", [1] = "control", [2] = "data", [3] = "cursor", [4] = "notification" }
local CMD520 = {
    [0] = { [0] = "ReadMonitorEDID", [1] = "GetFWVersion", [4] = "ReadModeList",
        [5] = "GetDeviceCaps", [48] = "FWLog" },
    [1] = { [0] = "SetMode", [1] = "MonitorControl", [2] = "SetPowerStatus",
        [16] = "SetCursorImage", [19] = "ZeroFrameIndex", [21] = "Heartbeat",
        [26] = "ControlLayer", [27] = "SetLayer", [51] = "CreateDisplayDevice",
        [52] = "DeleteDisplayDevice", [58] = "BindMonitor", [59] = "UnbindMonitor",
        [60] = "BindSource", [61] = "UnbindSource", [69] = "VideoPortControl" },
    [2] = { [4] = "Image", [6] = "FirmwareImage", [8] = "BL1Image" },
    [3] = { [0] = "CursorImage", [1] = "CursorState" },
    [4] = { [1] = "MonitorPnP", [9] = "FrameIndexFeedback" },
}

local h520 = {
    magic = ProtoField.string("vel520.magic", "Magic"),
    reserved4 = ProtoField.uint32("vel520.reserved4", "Reserved", base.HEX),
    kind = ProtoField.uint16("vel520.kind", "Packet kind", base.DEC, { [1] = "command", [2] = "image" }),
    tag = ProtoField.uint8("vel520.session_tag", "Session tag"),
    source = ProtoField.uint8("vel520.source", "Source id", base.DEC, nil, 0x7F),
    error = ProtoField.bool("vel520.error", "Error flag", 8, nil, 0x80),
    dtype = ProtoField.uint8("vel520.type", "DataType"),
    dclass = ProtoField.uint8("vel520.class", "DataClass", base.DEC, CLASS520, 0x7F),
    response = ProtoField.bool("vel520.response_requested", "Response requested", 8, nil, 0x80),
    target = ProtoField.uint16("vel520.target", "Target id", base.HEX),
    dd = ProtoField.uint16("vel520.display_device", "Display device"),
    node = ProtoField.uint16("vel520.node", "Input node (id >> 8)", base.HEX),
    hlen = ProtoField.uint16("vel520.header_len", "Header length"),
    reserved22 = ProtoField.uint16("vel520.reserved22", "Reserved", base.HEX),
    plen = ProtoField.uint32("vel520.payload_len", "Payload length"),
    reserved28 = ProtoField.uint32("vel520.reserved28", "Reserved", base.HEX),
    command = ProtoField.string("vel520.command", "Command"),
    role = ProtoField.string("vel520.message", "Message"),
    payload = ProtoField.bytes("vel520.payload", "Payload"),
}

local p520 = {
    version_type = ProtoField.uint8("vel520.version_type", "Version type", base.DEC,
        { [1] = "firmware", [4] = "layout", [5] = "BL1" }),
    version = ProtoField.string("vel520.version", "Version"),
    edid = ProtoField.bytes("vel520.edid", "EDID"),
    edid_len = ProtoField.uint32("vel520.edid.length", "EDID length"),
    edid_ext = ProtoField.uint8("vel520.edid.extensions", "EDID extension blocks"),
    mode_count = ProtoField.uint32("vel520.modes", "Mode count"),
    mode_w = ProtoField.uint16("vel520.mode.width", "Width"),
    mode_h = ProtoField.uint16("vel520.mode.height", "Height"),
    mode_bpp = ProtoField.uint8("vel520.mode.bpp", "Bits per pixel"),
    mode_hz = ProtoField.uint16("vel520.mode.refresh", "Refresh rate"),
    power_mode = ProtoField.uint8("vel520.power_mode", "Power mode"),
    caps = ProtoField.bytes("vel520.caps", "Capability block"),
    display_off = ProtoField.uint8("vel520.display_off", "Display", base.DEC, { [0] = "on", [1] = "off" }),
    power_status = ProtoField.uint8("vel520.power_status", "Power status"),
    heartbeat = ProtoField.uint8("vel520.heartbeat", "Heartbeat", base.DEC,
        { [0] = "close", [1] = "open", [2] = "beat" }),
    layer = ProtoField.uint32("vel520.layer", "Layer"),
    layer_status = ProtoField.uint8("vel520.layer_status", "Layer status", base.DEC, { [0] = "off", [1] = "on" }),
    layer_x = ProtoField.uint16("vel520.layer.x", "X"),
    layer_y = ProtoField.uint16("vel520.layer.y", "Y"),
    layer_w = ProtoField.uint16("vel520.layer.width", "Width"),
    layer_h = ProtoField.uint16("vel520.layer.height", "Height"),
    new_dd = ProtoField.uint16("vel520.new_display_device", "New display device"),
    cursor_id = ProtoField.uint32("vel520.cursor.id", "Cursor id"),
    cursor_x = ProtoField.int32("vel520.cursor.x", "Cursor x"),
    cursor_y = ProtoField.int32("vel520.cursor.y", "Cursor y"),
    cursor_visible = ProtoField.bool("vel520.cursor.visible", "Visible", 8, nil, 0x08),
    cursor_state = ProtoField.uint8("vel520.cursor.image_state", "Image state", base.DEC,
        { [0] = "known to the adapter", [2] = "new" }, 0x07),
    cursor_image = ProtoField.bytes("vel520.cursor.image", "Cursor image"),
    fw_size = ProtoField.uint32("vel520.fw.size", "Image size"),
    fw_version = ProtoField.string("vel520.fw.version", "Image version"),
    header_first = ProtoField.uint32("vel520.header_first", "Announced payload length"),
    log_total = ProtoField.uint32("vel520.log.total", "Log blocks"),
    log_index = ProtoField.uint32("vel520.log.index", "Block index"),
    log_text = ProtoField.string("vel520.log.text", "Log text"),
    pnp_target = ProtoField.uint8("vel520.pnp.target", "Target at output", base.HEX),
    fi_tag = ProtoField.uint8("vel520.feedback.tag", "Tag"),
    fi_dd = ProtoField.uint16("vel520.feedback.display_device", "Display device"),
    fi_frame = ProtoField.uint64("vel520.feedback.frame_index", "Frame index"),
    filler = ProtoField.bytes("vel520.filler", "Filler block"),
}

local i520 = {
    hlen = ProtoField.uint32("vel520.img.header_len", "Data header length"),
    follow = ProtoField.uint32("vel520.img.follow_len", "Bytes after the data header"),
    frame = ProtoField.uint32("vel520.img.frame_index", "Frame index"),
    x = ProtoField.uint32("vel520.img.x", "Rectangle x"),
    y = ProtoField.uint32("vel520.img.y", "Rectangle y"),
    w = ProtoField.uint16("vel520.img.width", "Rectangle width"),
    h = ProtoField.uint16("vel520.img.height", "Rectangle height"),
    pitch = ProtoField.uint16("vel520.img.pitch", "Source pitch"),
    format = ProtoField.uint8("vel520.img.format", "Format", base.HEX),
    codec = ProtoField.uint8("vel520.img.codec", "Codec"),
    declen = ProtoField.uint32("vel520.img.decoder_len", "Decoder-header length"),
    -- Bytes the host sends unchanged (their meaning is the adapter's).
    zero52 = ProtoField.uint32("vel520.img.reserved52", "Reserved", base.HEX),
    zero62 = ProtoField.bytes("vel520.img.reserved62", "Reserved"),
    const68 = ProtoField.uint8("vel520.img.const68", "Constant (1)"),
    const74 = ProtoField.uint8("vel520.img.const74", "Constant (0x33)", base.HEX),
    const76 = ProtoField.uint8("vel520.img.const76", "Constant (5)"),
    zero108 = ProtoField.uint32("vel520.img.reserved108", "Reserved", base.HEX),
}
local j520 = jpeg_fields("vel520")
local d520 = decoder_fields("vel520")
register_all(P520, { h520, p520, i520, j520, d520 })

local e520 = {
    malformed = ProtoExpert.new("vel520.malformed", "Malformed model-520 message",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("vel520.cut", "Transfer cut by the capture",
        expert.group.UNDECODED, expert.severity.NOTE),
    flagged = ProtoExpert.new("vel520.flagged", "Adapter answered with its error flag",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
}
P520.experts = { e520.malformed, e520.cut, e520.flagged }

-- The last hot-plug record seen per adapter, and the Info text each notification got on the
-- first pass (a plug or unplug is the difference to the previous record).
local pnp_last = {}
local pnp_text = {}

function P520.init()
    pnp_last = {}
    pnp_text = {}
end

local function mode_string(tvb, off)
    return string.format("%dx%d@%d", le_u(tvb, off, 2), le_u(tvb, off + 2, 2), le_u(tvb, off + 5, 2))
end

local function add_mode(tree, tvb, off)
    local mt = tree:add(tvb(off, 7), "Mode " .. mode_string(tvb, off) ..
        " " .. tvb(off + 4, 1):uint() .. " bpp")
    mt:add_le(p520.mode_w, tvb(off, 2))
    mt:add_le(p520.mode_h, tvb(off + 2, 2))
    mt:add(p520.mode_bpp, tvb(off + 4, 1))
    mt:add_le(p520.mode_hz, tvb(off + 5, 2))
end

local function add_cursor_record(tree, tvb, off)
    local ct = tree:add(tvb(off, 80), "Cursor record")
    ct:add_le(p520.cursor_id, tvb(off + 8, 4))
    ct:add_le(p520.cursor_x, tvb(off + 12, 4))
    ct:add_le(p520.cursor_y, tvb(off + 16, 4))
    ct:add(p520.cursor_visible, tvb(off + 32, 1))
    ct:add(p520.cursor_state, tvb(off + 32, 1))
end

-- The version text in the last 128 bytes of a firmware image: after "Version:", blanks
-- skipped, up to the next blank or NUL.
local function image_version(s)
    local v = s:match(".*Version:%s*([^%s\0]+)")
    return v
end

-- Payload of a host-to-adapter command. `pl` is the payload's offset, `n` its length
-- (captured bytes may be fewer). Returns the Info detail and, if malformed, the reason.
local function command520(tvb, tree, c, t, pl, n, hdr)
    local need = function(k) return n >= k and have(tvb, pl, k) end
    if c == 0 and t == 1 then
        if not need(1) then return "", "version type missing" end
        tree:add(p520.version_type, tvb(pl, 1))
        local vt = tvb(pl, 1):uint()
        return ({ [1] = " firmware", [4] = " layout", [5] = " BL1" })[vt] or (" type " .. vt)
    elseif c == 0 and (t == 0 or t == 4) then
        return string.format(" target 0x%02x dd %d", hdr.target, hdr.dd)
    elseif c == 1 and t == 0 then
        if not need(8) then return "", "mode payload shorter than 8 bytes" end
        add_mode(tree, tvb, pl)
        tree:add(p520.power_mode, tvb(pl + 7, 1))
        return string.format(" view %d %s", hdr.source, mode_string(tvb, pl))
    elseif c == 1 and (t == 1 or t == 69) then
        if not need(1) then return "", "on/off byte missing" end
        tree:add(p520.display_off, tvb(pl, 1))
        return string.format(" %s target 0x%02x dd %d", tvb(pl, 1):uint() == 1 and "off" or "on",
            hdr.target, hdr.dd)
    elseif c == 1 and t == 2 then
        if not need(1) then return "", "power status missing" end
        tree:add(p520.power_status, tvb(pl, 1))
        return " " .. tvb(pl, 1):uint()
    elseif c == 1 and t == 21 then
        if not need(1) then return "", "heartbeat status missing" end
        tree:add(p520.heartbeat, tvb(pl, 1))
        return " " .. (({ [0] = "close", [1] = "open", [2] = "beat" })[tvb(pl, 1):uint()] or "?")
    elseif c == 1 and t == 26 then
        if not need(5) then return "", "layer control shorter than 5 bytes" end
        tree:add_le(p520.layer, tvb(pl, 4))
        tree:add(p520.layer_status, tvb(pl + 4, 1))
        return string.format(" layer %d %s", le_u(tvb, pl, 4), tvb(pl + 4, 1):uint() == 1 and "on" or "off")
    elseif c == 1 and t == 27 then
        if not need(16) then return "", "layer rectangle shorter than 16 bytes" end
        tree:add_le(p520.layer, tvb(pl, 4))
        tree:add_le(p520.layer_x, tvb(pl + 4, 2))
        tree:add_le(p520.layer_y, tvb(pl + 6, 2))
        tree:add_le(p520.layer_w, tvb(pl + 8, 2))
        tree:add_le(p520.layer_h, tvb(pl + 10, 2))
        return string.format(" layer %d %dx%d+%d+%d dd %d", le_u(tvb, pl, 4), le_u(tvb, pl + 8, 2),
            le_u(tvb, pl + 10, 2), le_u(tvb, pl + 4, 2), le_u(tvb, pl + 6, 2), hdr.dd)
    elseif c == 1 and t == 51 then
        return string.format(" for target 0x%02x", hdr.target)
    elseif c == 1 and t == 52 then
        return string.format(" dd %d", hdr.dd)
    elseif c == 1 and (t == 58 or t == 59) then
        return string.format(" dd %d target 0x%02x", hdr.dd, hdr.target)
    elseif c == 1 and (t == 60 or t == 61) then
        return string.format(" source %d dd %d", hdr.source, hdr.dd)
    elseif (c == 1 and t == 16) or (c == 3 and (t == 0 or t == 1)) then
        if n < 80 then return "", "cursor record shorter than 80 bytes" end
        if not have(tvb, pl, 80) then return " [cut]" end
        add_cursor_record(tree, tvb, pl)
        if t == 1 and c == 3 then
            local vis = math.floor(tvb(pl + 32, 1):uint() / 8) % 2 == 1
            return string.format(" view %d %d,%d %s", hdr.source, tvb(pl + 12, 4):le_int(),
                tvb(pl + 16, 4):le_int(), vis and "shown" or "hidden")
        end
        local cap = math.min(n - 80, tvb:len() - pl - 80)
        if cap > 0 then tree:add(p520.cursor_image, tvb(pl + 80, cap)) end
        return string.format(" id %d, %d image bytes", le_u(tvb, pl + 8, 4), n - 80)
    elseif c == 2 and (t == 6 or t == 8) then
        tree:add(p520.fw_size, tvb(pl, 0), n):set_generated()
        local detail = string.format(" %d bytes", n)
        if have(tvb, pl, n) and n > 0 then
            local k = math.min(n, 128)
            local v = image_version(tvb:raw(pl + n - k, k))
            if v then
                tree:add(p520.fw_version, tvb(pl + n - k, k), v):set_generated()
                detail = detail .. " version " .. v
            end
        end
        return detail
    end
    return ""
end

-- Payload of an adapter-to-host response.
local function response520(tvb, tree, c, t, pl, n)
    local cap = math.max(0, math.min(n, tvb:len() - pl))
    if c == 0 and t == 0 then
        if cap > 0 then tree:add(p520.edid, tvb(pl, cap)) end
        tree:add(p520.edid_len, tvb(pl, 0), n):set_generated()
        if cap >= 128 then tree:add(p520.edid_ext, tvb(pl + 126, 1)) end
        return string.format(": EDID %d bytes", n)
    elseif c == 0 and t == 1 then
        if cap <= 0 then return "" end
        local text = cstr(tvb, pl, cap)
        tree:add(p520.version, tvb(pl, cap), text)
        return ": " .. text
    elseif c == 0 and t == 4 then
        local count = math.floor(n / 7)
        local mt = tree:add(p520.mode_count, tvb(pl, 0), count)
        for i = 0, count - 1 do
            if not have(tvb, pl + 7 * i, 7) then break end
            add_mode(mt, tvb, pl + 7 * i)
        end
        return string.format(": %d modes", count)
    elseif c == 0 and t == 5 then
        if cap > 0 then tree:add(p520.caps, tvb(pl, cap)) end
        return string.format(": %d bytes", n)
    elseif c == 1 and t == 51 then
        if n < 2 then return "", "display device id missing" end
        if have(tvb, pl, 2) then
            tree:add_le(p520.new_dd, tvb(pl, 2))
            return ": dd " .. le_u(tvb, pl, 2)
        end
    end
    return ""
end

-- Adapter-to-host notification (class 4) or firmware-log block (class 0 type 48). Data start 4
-- bytes after the header.
local function notification520(tvb, tree, t, n, pinfo)
    local d = 36
    if t == 1 then
        if n < 7 or not have(tvb, d, 3) then return "notify: monitor hot-plug", "hot-plug record shorter than 3 outputs" end
        local rec = {}
        for i = 0, 2 do
            rec[i] = tvb(d + i, 1):uint()
            tree:add(p520.pnp_target, tvb(d + i, 1)):prepend_text("Output " .. i .. ": ")
        end
        if not pinfo.visited or pnp_text[pinfo.number] == nil then
            local key = device_key()
            local prev = pnp_last[key] or { [0] = 0xEE, [1] = 0xEE, [2] = 0xEE }
            local parts = {}
            for i = 0, 2 do
                if rec[i] ~= prev[i] then
                    if prev[i] ~= 0xEE then
                        parts[#parts + 1] = string.format("monitor unplugged from port 0x%02x", prev[i])
                    end
                    if rec[i] ~= 0xEE then
                        parts[#parts + 1] = string.format("monitor plugged on port 0x%02x", rec[i])
                    end
                end
            end
            if #parts == 0 then
                local present = {}
                for i = 0, 2 do
                    if rec[i] ~= 0xEE then present[#present + 1] = string.format("0x%02x", rec[i]) end
                end
                parts[1] = "monitors unchanged (" .. (#present > 0 and table.concat(present, " ") or "none") .. ")"
            end
            pnp_last[key] = rec
            pnp_text[pinfo.number] = "notify: " .. table.concat(parts, ", ")
        end
        return pnp_text[pinfo.number]
    elseif t == 9 then
        if n < 16 or not have(tvb, d, 12) then return "notify: frame-index feedback", "frame-index feedback shorter than 12 bytes" end
        tree:add(p520.fi_tag, tvb(d, 1))
        tree:add_le(p520.fi_dd, tvb(d + 2, 2))
        tree:add_le(p520.fi_frame, tvb(d + 4, 8))
        return string.format("notify: frame %s shown on display device %d",
            tostring(tvb(d + 4, 8):le_uint64()), le_u(tvb, d + 2, 2))
    end
    return string.format("notify: type %d", t)
end

local function logblock520(tvb, tree, n)
    if n < 17 or not have(tvb, 32, 16) then return "FWLog block", "log block shorter than its 16-byte head" end
    tree:add_le(p520.log_total, tvb(32, 4))
    tree:add_le(p520.log_index, tvb(36, 4))
    local tlen = math.min(n - 16, tvb:len() - 48)
    if tlen > 0 then tree:add(p520.log_text, tvb(48, tlen), cstr(tvb, 48, tlen)) end
    return string.format("FWLog block %d/%d", le_u(tvb, 36, 4) + 1, le_u(tvb, 32, 4))
end

-- Image packet (class 2 type 4): data header, JPEG, decoder header, filler.
local function image520(tvb, tree, plen, total)
    if plen < 80 then return "image", "image payload shorter than its 80-byte data header" end
    if not have(tvb, 32, 80) then return "image [cut]" end
    local it = tree:add(tvb(32, 80), "Data header")
    it:add_le(i520.hlen, tvb(32, 4))
    it:add_le(i520.follow, tvb(36, 4))
    it:add_le(i520.frame, tvb(40, 4))
    it:add_le(i520.x, tvb(44, 4))
    it:add_le(i520.y, tvb(48, 4))
    it:add_le(i520.zero52, tvb(52, 4))
    it:add_le(i520.w, tvb(56, 2))
    it:add_le(i520.h, tvb(58, 2))
    it:add_le(i520.pitch, tvb(60, 2))
    it:add(i520.zero62, tvb(62, 6))
    it:add(i520.const68, tvb(68, 1))
    it:add(i520.format, tvb(72, 1))
    it:add(i520.const74, tvb(74, 1))
    it:add(i520.codec, tvb(75, 1))
    it:add(i520.const76, tvb(76, 1))
    it:add_le(i520.declen, tvb(104, 4))
    it:add_le(i520.zero108, tvb(108, 4))
    local follow, declen = le_u(tvb, 36, 4), le_u(tvb, 104, 4)
    local frame, w, h = le_u(tvb, 40, 4), le_u(tvb, 56, 2), le_u(tvb, 58, 2)
    it:append_text(string.format(": frame %d, %dx%d at %d,%d", frame, w, h, le_u(tvb, 44, 4), le_u(tvb, 48, 4)))
    local summary = string.format("image frame %d %dx%d", frame, w, h)
    if le_u(tvb, 32, 4) ~= 80 then return summary, "data header length " .. le_u(tvb, 32, 4) end
    if 80 + follow ~= plen then
        return summary, string.format("data header counts %d bytes after it, the payload %d", follow, plen - 80)
    end
    if declen > follow then return summary, string.format("decoder header of %d bytes in %d", declen, follow) end
    local area = follow - declen
    local info = dissect_jpeg(tvb, tree, 112, area, j520)
    if info.quality then summary = summary .. " q" .. info.quality end
    summary = summary .. " " .. kbytes(info.size or area)
    local why = info.err
    local dwhy = dissect_decoder(tvb, tree, 112 + area, declen, 1, d520)
    why = why or dwhy
    local ends = 32 + plen
    if ends % 512 == 0 then
        if total < ends + 32 then
            why = why or "packet ending on a 512-byte boundary without its filler block"
        elseif have(tvb, ends, 32) then
            tree:add(p520.filler, tvb(ends, 32))
            if tvb(ends, 4):string() ~= "VELC" then why = why or "filler block without its magic" end
        end
    end
    return summary, why
end

local function dissect520(tvb, pinfo, root)
    pinfo.cols.protocol:set("VEL520")
    local total = tvb:reported_length_remaining()
    local tree = root:add(P520, tvb(), "VelUSBDisplay model 520")
    if tvb:len() < total then
        tree:add_proto_expert_info(e520.cut, string.format("Transfer cut by the capture: %d of %d bytes captured",
            tvb:len(), total))
    end
    local function malformed(summary, why)
        tree:add_proto_expert_info(e520.malformed, "Malformed: " .. why)
        pinfo.cols.info:set((summary or "VELC") .. " [malformed: " .. why .. "]")
        tree:append_text(" [malformed]")
    end
    if total < 32 or not have(tvb, 0, 32) then
        return malformed("VELC", string.format("header of %d bytes, 32 needed", math.min(total, tvb:len())))
    end
    local hdr = {
        kind = le_u(tvb, 8, 2), source = tvb(11, 1):uint() % 128,
        flag = tvb(11, 1):uint() >= 128, dtype = tvb(12, 1):uint(),
        dclass = tvb(13, 1):uint() % 128, resp = tvb(13, 1):uint() >= 128,
        target = le_u(tvb, 14, 2), dd = le_u(tvb, 16, 2), hlen = le_u(tvb, 20, 2),
        plen = le_u(tvb, 24, 4),
    }
    local ht = tree:add(tvb(0, 32), "Header")
    ht:add(h520.magic, tvb(0, 4))
    ht:add_le(h520.reserved4, tvb(4, 4))
    ht:add_le(h520.kind, tvb(8, 2))
    ht:add(h520.tag, tvb(10, 1))
    ht:add(h520.source, tvb(11, 1))
    ht:add(h520.error, tvb(11, 1))
    ht:add(h520.dtype, tvb(12, 1))
    ht:add(h520.dclass, tvb(13, 1))
    ht:add(h520.response, tvb(13, 1))
    ht:add_le(h520.target, tvb(14, 2))
    ht:add_le(h520.dd, tvb(16, 2))
    ht:add_le(h520.node, tvb(18, 2))
    ht:add_le(h520.hlen, tvb(20, 2))
    ht:add_le(h520.reserved22, tvb(22, 2))
    ht:add_le(h520.plen, tvb(24, 4))
    ht:add_le(h520.reserved28, tvb(28, 4))

    local c, t = hdr.dclass, hdr.dtype
    local name = (CMD520[c] and CMD520[c][t]) or string.format("class %d type %d", c, t)
    local incoming = is_in()
    local role
    if incoming then
        if c == 4 then role = "notification"
        elseif c == 0 and t == 48 then role = "log block"
        else role = "response" end
    else
        role = (c == 2 and t == 4) and "image" or "command"
    end
    tree:add(h520.command, tvb(12, 2), name):set_generated()
    tree:add(h520.role, tvb(8, 6), role):set_generated()
    tree:append_text(": " .. name .. ((role == "command" or role == "image") and "" or (" " .. role)))

    if hdr.hlen ~= 32 then return malformed(name, "header length " .. hdr.hlen) end
    -- A message over 0xFFFFF bytes goes out as a lone header first, then whole (header again).
    local announced = not incoming and total == 32 and hdr.plen > 0 and hdr.plen + 32 > 0xFFFFF
    if announced then
        tree:add(p520.header_first, tvb(24, 4), hdr.plen):set_generated()
        pinfo.cols.info:set(string.format("%s header (%d-byte payload follows)", name, hdr.plen))
        return
    end
    local filler = role == "image" and (32 + hdr.plen) % 512 == 0 and 32 or 0
    if total < 32 + hdr.plen then
        return malformed(name, string.format("payload length %d, %d bytes follow the header", hdr.plen, total - 32))
    end
    if total > 32 + hdr.plen + filler then
        return malformed(name, string.format("%d bytes after the payload", total - 32 - hdr.plen - filler))
    end
    if incoming and hdr.resp then return malformed(name, "response bit set by the adapter") end
    if not incoming and hdr.flag then return malformed(name, "error flag set by the host") end

    local pt = hdr.plen > 0 and tree:add(h520.payload, tvb(32, math.min(hdr.plen, tvb:len() - 32))) or tree
    if hdr.plen > 0 then pt:set_text(string.format("Payload (%d bytes)", hdr.plen)) end
    local info, why
    if role == "image" then
        info, why = image520(tvb, pt, hdr.plen, total)
    elseif role == "notification" then
        info, why = notification520(tvb, pt, t, hdr.plen, pinfo)
    elseif role == "log block" then
        info, why = logblock520(tvb, pt, hdr.plen)
    elseif role == "response" then
        local detail
        detail, why = response520(tvb, pt, c, t, 32, hdr.plen)
        info = name .. " response" .. (detail or "")
        if hdr.flag then
            tree:add_proto_expert_info(e520.flagged)
            info = info .. " [error flag]"
        end
    else
        local detail
        detail, why = command520(tvb, pt, c, t, 32, hdr.plen, hdr)
        info = name .. (detail or "")
        if c == 0 and t == 48 then info = "FWLog request" end
    end
    if why then return malformed(info, why) end
    if tvb:len() < total then info = info .. " [cut by the capture]" end
    pinfo.cols.info:set(info)
end

local function heur520(tvb, pinfo, tree)
    if tvb:len() < 4 or tvb(0, 4):string() ~= "VELC" then return false end
    dissect520(tvb, pinfo, tree)
    return true
end

P520:register_heuristic("usb.bulk", heur520)
P520:register_heuristic("usb.interrupt", heur520)

-- =============================================================================================
-- 50x family.

local MAGIC50X = "veltarvexsta"
local CMD50X = {
    [0x06] = "FirmwareImage", [0x07] = "SromAccess", [0x08] = "BL1Image",
    [0x30] = "SetMode", [0x31] = "Dpms", [0x32] = "PowerState", [0x3F] = "PostMode3F",
    [0x40] = "ViewSize", [0x41] = "PostMode41", [0x42] = "CursorImage",
    [0x45] = "FrameIndexReset", [0x46] = "ResetView", [0x47] = "HeartbeatLegacy",
    [0x4C] = "Layer", [0x4E] = "Patch4k", [0x60] = "ReadEDID", [0x61] = "VersionQuery",
    [0x64] = "ReadModeList", [0x65] = "ReadCaps", [0x77] = "WorkModeQuery",
    [0xD7] = "HeartbeatControl", [0xEC] = "BulkHeartbeat",
}
local IN50X = {
    [0x00] = "UpdateReply", [0x07] = "SromReply", [0x0A] = "FirmwareLog", [0x60] = "EDIDReply",
    [0x61] = "VersionReply", [0x64] = "ModeListReply", [0x65] = "CapsReply",
    [0x77] = "WorkModeReply", [0xE1] = "MonitorEvent", [0xE9] = "FrameIndexEvent",
    [0xFF] = "UnknownCommandReply",
}
-- Control replies: the command code answered.
local CONTROL50X = { [0x30] = true, [0x31] = true, [0x32] = true, [0x3F] = true, [0x40] = true,
    [0x41] = true, [0x42] = true, [0x4C] = true, [0xD7] = true, [0xFF] = true }

local x50 = {
    magic = ProtoField.string("vel50x.magic", "Magic"),
    length = ProtoField.uint32("vel50x.length", "Length field"),
    pclass = ProtoField.uint8("vel50x.class", "Command class", base.DEC, { [2] = "image", [6] = "control" }),
    pflags = ProtoField.uint16("vel50x.flags", "Flags", base.HEX),
    edid_retry = ProtoField.bool("vel50x.edid_retry", "Repeated EDID request", 16, nil, 0x0020),
    view_select = ProtoField.uint8("vel50x.view_select", "View select", base.HEX),
    code = ProtoField.uint8("vel50x.code", "Command code", base.HEX, CMD50X),
    command = ProtoField.string("vel50x.command", "Command"),
    role = ProtoField.string("vel50x.message", "Message"),
    params = ProtoField.bytes("vel50x.params", "Parameters"),
    -- SetMode records
    rec_view = ProtoField.uint8("vel50x.mode.view", "View id"),
    rec_target = ProtoField.uint8("vel50x.mode.target", "Target id"),
    rec_class = ProtoField.uint8("vel50x.mode.timing_class", "Timing class"),
    rec_w = ProtoField.uint16("vel50x.mode.width", "Width"),
    rec_h = ProtoField.uint16("vel50x.mode.height", "Height"),
    rec_bpp = ProtoField.uint8("vel50x.mode.bpp", "Bits per pixel"),
    rec_hz = ProtoField.uint16("vel50x.mode.refresh", "Refresh rate"),
    target = ProtoField.uint8("vel50x.target", "Target id"),
    off = ProtoField.uint8("vel50x.off", "Display", base.DEC, { [0] = "on", [1] = "off" }),
    power = ProtoField.uint8("vel50x.power", "Power", base.DEC, { [0] = "off", [1] = "on" }),
    onoff = ProtoField.uint8("vel50x.onoff", "On/off value"),
    patch = ProtoField.uint32("vel50x.patch", "4k timing patch", base.DEC, { [0] = "off", [1] = "on" }),
    size_w = ProtoField.uint16("vel50x.view.width", "Width"),
    size_h = ProtoField.uint16("vel50x.view.height", "Height"),
    layer = ProtoField.uint16("vel50x.layer.value", "Geometry value"),
    kind = ProtoField.uint8("vel50x.version_kind", "Version kind", base.DEC,
        { [1] = "firmware", [4] = "SROM layout", [5] = "second bootloader" }),
    image_len = ProtoField.uint32("vel50x.image_len", "Image length"),
    srom_op = ProtoField.uint8("vel50x.srom.op", "SROM access", base.DEC, { [1] = "read", [2] = "write" }),
    srom_addr = ProtoField.uint32("vel50x.srom.address", "SROM address", base.HEX),
    srom_len = ProtoField.uint32("vel50x.srom.length", "SROM length"),
    data = ProtoField.bytes("vel50x.data", "Data"),
    -- cursor
    cur_view = ProtoField.uint8("vel50x.cursor.view", "View"),
    cur_visible = ProtoField.bool("vel50x.cursor.visible", "Visible", 8, nil, 0x01),
    cur_x = ProtoField.int32("vel50x.cursor.x", "Cursor x"),
    cur_y = ProtoField.int32("vel50x.cursor.y", "Cursor y"),
    cur_slot = ProtoField.uint32("vel50x.cursor.slot", "Cache slot"),
    cur_uploaded = ProtoField.uint8("vel50x.cursor.uploaded", "Uploaded now"),
    cur_w = ProtoField.uint32("vel50x.cursor.width", "Width"),
    cur_h = ProtoField.uint32("vel50x.cursor.height", "Height"),
    cur_stride = ProtoField.uint32("vel50x.cursor.stride", "Stride"),
    cur_hx = ProtoField.uint32("vel50x.cursor.hot_x", "Hot spot x"),
    cur_hy = ProtoField.uint32("vel50x.cursor.hot_y", "Hot spot y"),
    cur_image = ProtoField.bytes("vel50x.cursor.image", "Cursor image"),
    -- incoming
    type = ProtoField.uint8("vel50x.type", "Type", base.HEX, IN50X),
    status = ProtoField.uint8("vel50x.status", "Status", base.HEX),
    detail0 = ProtoField.uint8("vel50x.reply.detail0", "Detail 0", base.HEX),
    detail1 = ProtoField.uint8("vel50x.reply.detail1", "Detail 1", base.HEX),
    value16 = ProtoField.uint16("vel50x.reply.value", "Value"),
    value8 = ProtoField.uint8("vel50x.reply.value8", "Value 2"),
    mask = ProtoField.uint8("vel50x.monitor_mask", "Monitor bitmask", base.HEX),
    source = ProtoField.uint8("vel50x.source", "Source"),
    finished = ProtoField.uint32("vel50x.finished_frame", "Finished frame index"),
    edid_size = ProtoField.uint32("vel50x.edid.size", "EDID size"),
    edid = ProtoField.bytes("vel50x.edid", "EDID"),
    mode_count = ProtoField.uint16("vel50x.modes", "Mode count"),
    mode_w = ProtoField.uint32("vel50x.modelist.width", "Width"),
    mode_h = ProtoField.uint32("vel50x.modelist.height", "Height"),
    mode_hz = ProtoField.uint32("vel50x.modelist.refresh", "Refresh rate"),
    mode_bpp = ProtoField.uint32("vel50x.modelist.bpp", "Bits per pixel"),
    version = ProtoField.string("vel50x.version", "Version"),
    layout = ProtoField.uint32("vel50x.layout", "SROM layout number"),
    error_code = ProtoField.uint8("vel50x.error_code", "Error code"),
    done = ProtoField.uint8("vel50x.srom.done", "Done"),
    work_mode = ProtoField.uint8("vel50x.work_mode", "Work mode", base.DEC, { [0] = "normal", [1] = "test" }),
    log_text = ProtoField.string("vel50x.log_text", "Log text"),
}
-- Piece flags of an image packet: high nibble the frame's piece count, low nibble this piece.
-- A frame too large for one JPEG goes as two halves with one frame index; only these tell them
-- apart (and only the lower half's failed transfer returns no frame credit).
local PIECES50X = { [0x11] = "whole frame", [0x21] = "upper half", [0x22] = "lower half" }
local i50 = {
    vsel = ProtoField.uint8("vel50x.img.view_select", "View select", base.HEX),
    frame = ProtoField.uint32("vel50x.img.frame_index", "Frame index"),
    format = ProtoField.uint8("vel50x.img.format", "Format", base.HEX),
    x = ProtoField.uint16("vel50x.img.x", "Rectangle x"),
    y = ProtoField.uint16("vel50x.img.y", "Rectangle y"),
    w = ProtoField.uint16("vel50x.img.width", "Rectangle width"),
    h = ProtoField.uint16("vel50x.img.height", "Rectangle height"),
    stride = ProtoField.uint16("vel50x.img.stride", "Rectangle stride"),
    jpeg_len = ProtoField.uint32("vel50x.img.jpeg_len", "JPEG length"),
    pieces = ProtoField.uint8("vel50x.img.pieces", "Piece flags", base.HEX, PIECES50X),
    piece = ProtoField.string("vel50x.img.piece", "Piece"),
}
local j50 = jpeg_fields("vel50x")
local d50 = decoder_fields("vel50x")
register_all(P50X, { x50, i50, j50, d50 })

local e50 = {
    malformed = ProtoExpert.new("vel50x.malformed", "Malformed 50x-family packet",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("vel50x.cut", "Transfer cut by the capture",
        expert.group.UNDECODED, expert.severity.NOTE),
    refused = ProtoExpert.new("vel50x.refused", "Adapter refused the command",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
}
P50X.experts = { e50.malformed, e50.cut, e50.refused }

local function cmd50_name(code)
    return CMD50X[code] or string.format("command 0x%02x", code)
end

-- The data packets of the firmware update: 48 + data bytes, plus one when that is a multiple of
-- 512.
local function data_length_ok(total, length_field, data)
    local want = 48 + data
    if want % 512 == 0 then want = want + 1 end
    return length_field == want and total == want
end

-- Host to adapter, class 6 (control and update commands) by their parameter block.
local function command50(tvb, tree, total, lenfield, code)
    local p = 21  -- parameter byte 5
    local name = cmd50_name(code)
    local function need(k)
        return total >= k and have(tvb, 0, math.min(k, total))
    end
    local short44 = { [0x45] = true, [0x4E] = true, [0xD7] = true, [0xEC] = true, [0x47] = true }
    if code == 0x30 then
        if not need(48) then return name, "SetMode packet shorter than 48 bytes" end
        local parts = {}
        for v = 0, 1 do
            local o = p + 10 * v
            local rt = tree:add(tvb(o, 10), "View record " .. v)
            rt:add(x50.rec_view, tvb(o, 1))
            rt:add(x50.rec_target, tvb(o + 1, 1))
            rt:add(x50.rec_class, tvb(o + 2, 1))
            rt:add_le(x50.rec_w, tvb(o + 3, 2))
            rt:add_le(x50.rec_h, tvb(o + 5, 2))
            rt:add(x50.rec_bpp, tvb(o + 7, 1))
            rt:add_le(x50.rec_hz, tvb(o + 8, 2))
            local vid = tvb(o, 1):uint()
            if vid == 255 then
                parts[#parts + 1] = "view " .. v .. " off"
            else
                parts[#parts + 1] = string.format("view %d %dx%d@%d", vid, le_u(tvb, o + 3, 2),
                    le_u(tvb, o + 5, 2), le_u(tvb, o + 8, 2))
            end
        end
        return name .. " " .. table.concat(parts, ", ")
    elseif code == 0x31 then
        if not need(48) then return name, "Dpms packet shorter than 48 bytes" end
        tree:add(x50.target, tvb(p, 1))
        tree:add(x50.off, tvb(p + 1, 1))
        return string.format("%s %s target %d", name, tvb(p + 1, 1):uint() == 1 and "off" or "on", tvb(p, 1):uint())
    elseif code == 0x32 then
        if not need(48) then return name, "PowerState packet shorter than 48 bytes" end
        tree:add(x50.power, tvb(p, 1))
        return name .. (tvb(p, 1):uint() == 1 and " on" or " off")
    elseif code == 0x40 then
        if not need(48) then return name, "ViewSize packet shorter than 48 bytes" end
        tree:add_le(x50.size_w, tvb(p + 1, 2))
        tree:add_le(x50.size_h, tvb(p + 3, 2))
        return string.format("%s %dx%d", name, le_u(tvb, p + 1, 2), le_u(tvb, p + 3, 2))
    elseif code == 0x4C then
        if not need(48) then return name, "Layer packet shorter than 48 bytes" end
        for _, at in ipairs({ 25, 27, 33, 35 }) do tree:add_le(x50.layer, tvb(at, 2)) end
        return string.format("%s %d %d %d %d", name, le_u(tvb, 25, 2), le_u(tvb, 27, 2), le_u(tvb, 33, 2), le_u(tvb, 35, 2))
    elseif code == 0x4E then
        if not need(44) then return name, "Patch4k packet shorter than 44 bytes" end
        tree:add(x50.target, tvb(p, 1))
        tree:add_le(x50.patch, tvb(p + 1, 4))
        return string.format("%s target %d %s", name, tvb(p, 1):uint(), le_u(tvb, p + 1, 4) == 1 and "on" or "off")
    elseif code == 0xD7 or code == 0x47 then
        if not need(44) then return name, "heartbeat packet shorter than 44 bytes" end
        tree:add(x50.onoff, tvb(p + 1, 1))
        return string.format("%s %s", name, tvb(p + 1, 1):uint() ~= 0 and "on" or "off")
    elseif code == 0x60 or code == 0x64 then
        if not need(48) then return name, name .. " packet shorter than 48 bytes" end
        tree:add(x50.target, tvb(p, 1))
        return string.format("%s target %d", name, tvb(p, 1):uint())
    elseif code == 0x61 then
        if not need(48) then return name, "VersionQuery packet shorter than 48 bytes" end
        tree:add(x50.kind, tvb(p, 1))
        return string.format("%s kind %d", name, tvb(p, 1):uint())
    elseif code == 0x42 then
        if total ~= 16480 or lenfield ~= 16480 then
            return name, string.format("cursor image packet of %d bytes (length field %d), 16480 expected", total, lenfield)
        end
        if not have(tvb, 0, 96) then return name .. " [cut]" end
        tree:add_le(x50.cur_slot, tvb(25, 1))
        tree:add_le(x50.cur_w, tvb(52, 4))
        tree:add_le(x50.cur_h, tvb(56, 4))
        tree:add_le(x50.cur_stride, tvb(60, 4))
        tree:add_le(x50.cur_hx, tvb(64, 4))
        tree:add_le(x50.cur_hy, tvb(68, 4))
        local cap = math.min(16384, tvb:len() - 96)
        if cap > 0 then tree:add(x50.cur_image, tvb(96, cap)) end
        return string.format("%s slot %d", name, tvb(25, 1):uint())
    elseif code == 0x06 or code == 0x08 then
        if not need(48) then return name, "image packet shorter than its 48-byte head" end
        tree:add_le(x50.image_len, tvb(p, 4))
        local n = le_u(tvb, p, 4)
        if not data_length_ok(total, lenfield, n) then
            return name, string.format("%d-byte image in a %d-byte packet (length field %d)", n, total, lenfield)
        end
        local cap = math.min(n, tvb:len() - 48)
        if cap > 0 then tree:add(x50.data, tvb(48, cap)) end
        return string.format("%s %d bytes", name, n)
    elseif code == 0x07 then
        if not need(48) then return name, "SROM packet shorter than 48 bytes" end
        tree:add(x50.srom_op, tvb(p, 1))
        tree:add_le(x50.srom_addr, tvb(p + 1, 4))
        tree:add_le(x50.srom_len, tvb(p + 5, 4))
        local op, addr, n = tvb(p, 1):uint(), le_u(tvb, p + 1, 4), le_u(tvb, p + 5, 4)
        -- A read carries no data: the packet only asks for n bytes.
        if op == 2 and not data_length_ok(total, lenfield, n) then
            return name, string.format("SROM write of %d bytes in a %d-byte packet (length field %d)", n, total, lenfield)
        end
        if op == 2 then
            local cap = math.min(n, tvb:len() - 48)
            if cap > 0 then tree:add(x50.data, tvb(48, cap)) end
        end
        return string.format("%s %s 0x%05x %d bytes", name, op == 1 and "read" or (op == 2 and "write" or ("op " .. op)), addr, n)
    elseif code == 0x45 then
        if total ~= 44 or lenfield ~= 8 then
            return name, string.format("frame-index reset of %d bytes (length field %d), 44 and 8 expected", total, lenfield)
        end
        return name
    end
    if short44[code] then
        if total ~= 44 or lenfield ~= 44 then
            return name, string.format("%d-byte packet (length field %d), 44 expected", total, lenfield)
        end
    elseif total ~= 48 or lenfield ~= 48 then
        if CMD50X[code] then
            return name, string.format("%d-byte packet (length field %d), 48 expected", total, lenfield)
        end
    end
    return name
end

-- Host to adapter, image class (byte 16 = 2): the 48-byte header, the JPEG, the decoder header.
local function image50(tvb, tree, total, lenfield)
    if total < 48 or not have(tvb, 0, 48) then return "image", "image packet shorter than its 48-byte header" end
    local it = tree:add(tvb(16, 32), "Image header")
    it:add(i50.vsel, tvb(19, 1))
    it:add_le(i50.frame, tvb(22, 4))
    it:add(i50.format, tvb(26, 1))
    it:add_le(i50.x, tvb(27, 2))
    it:add_le(i50.y, tvb(29, 2))
    it:add_le(i50.w, tvb(31, 2))
    it:add_le(i50.h, tvb(33, 2))
    it:add_le(i50.stride, tvb(36, 2))
    it:add_le(i50.jpeg_len, tvb(38, 4))
    it:add(i50.pieces, tvb(42, 1))
    local frame, w, h, n = le_u(tvb, 22, 4), le_u(tvb, 31, 2), le_u(tvb, 33, 2), le_u(tvb, 38, 4)
    local view = tvb(19, 1):uint() == 0xB0 and 1 or 0
    local pieces = tvb(42, 1):uint()
    local piece = PIECES50X[pieces]
    it:add(i50.piece, tvb(42, 1), piece or string.format("unknown (0x%02x)", pieces)):set_generated()
    it:append_text(string.format(": view %d frame %d, %dx%d at %d,%d", view, frame, w, h, le_u(tvb, 27, 2), le_u(tvb, 29, 2)))
    local summary = string.format("image view %d frame %d %dx%d", view, frame, w, h)
    -- The two halves of a split frame share the frame index: the Info column names them.
    if pieces == 0x21 or pieces == 0x22 then summary = summary .. " " .. piece end
    local pwhy = not piece and string.format("piece flags 0x%02x (0x11, 0x21 or 0x22 expected)", pieces) or nil
    local want = n + 20528
    if want % 512 == 0 then want = want + 1 end
    if lenfield ~= want or total ~= want then
        return summary, string.format("%d-byte JPEG in a %d-byte packet (length field %d, %d expected)", n, total, lenfield, want)
    end
    local info = dissect_jpeg(tvb, tree, 48, n, j50)
    if info.quality then summary = summary .. " q" .. info.quality end
    summary = summary .. " " .. kbytes(info.size or n)
    local off = 48 + n
    local why = info.err
    if have(tvb, off, 1) then
        local count = tvb(off, 1):uint()
        local dwhy = dissect_decoder(tvb, tree, off, 1 + count * DEC_LAYOUT[0].size, 0, d50)
        if count < 1 or count > 3 then dwhy = "decoder header record count " .. count end
        why = why or dwhy
    end
    return summary, pwhy or why
end

-- Adapter to host.
local function incoming50(tvb, tree, total, pinfo)
    if total < 18 or not have(tvb, 0, 18) then return "reply", "packet shorter than 18 bytes" end
    local ty, st = tvb(16, 1):uint(), tvb(17, 1):uint()
    tree:add(x50.type, tvb(16, 1))
    local name = IN50X[ty] or (CMD50X[ty] and (CMD50X[ty] .. "Reply")) or string.format("type 0x%02x", ty)
    tree:add(x50.command, tvb(16, 1), name):set_generated()
    local function need(k) return total >= k and have(tvb, 0, k) end
    if ty == 0xE1 then
        tree:add(x50.mask, tvb(17, 1))
        local targets = {}
        for b = 0, 3 do
            if math.floor(st / 2 ^ b) % 2 == 1 then targets[#targets + 1] = tostring(2 ^ b) end
        end
        return string.format("event: monitors 0x%02x (%s)", st,
            #targets > 0 and ("targets " .. table.concat(targets, ", ")) or "none")
    elseif ty == 0xE9 then
        if not need(24) then return "event: frame index", "frame-index event shorter than 24 bytes" end
        tree:add(x50.source, tvb(17, 1))
        tree:add_le(x50.finished, tvb(20, 4))
        if st == 2 then return "event: hardware decoder report" end
        return string.format("event: frame %d finished (source %d)", le_u(tvb, 20, 4), st)
    elseif ty == 0x60 then
        if not need(48) then return name, "EDID reply shorter than 48 bytes" end
        tree:add(x50.status, tvb(17, 1))
        tree:add_le(x50.edid_size, tvb(18, 4))
        tree:add(x50.target, tvb(22, 1))
        local size = le_u(tvb, 18, 4)
        local cap = math.min(size, tvb:len() - 48, total - 48)
        if cap > 0 then tree:add(x50.edid, tvb(48, cap)) end
        if st ~= 0 then tree:add_proto_expert_info(e50.refused) end
        if size > 512 or 48 + size > total then
            return name, string.format("EDID of %d bytes in a %d-byte reply", size, total)
        end
        return string.format("%s target %d: %d bytes%s", name, tvb(22, 1):uint(), size,
            st ~= 0 and string.format(" status 0x%02x", st) or "")
    elseif ty == 0x64 then
        if not need(20) then return name, "mode-list reply shorter than 20 bytes" end
        tree:add(x50.status, tvb(17, 1))
        tree:add_le(x50.mode_count, tvb(18, 2))
        local count = le_u(tvb, 18, 2)
        if 48 + 16 * count > total then
            return name, string.format("%d modes in a %d-byte reply", count, total)
        end
        for i = 0, count - 1 do
            local o = 48 + 16 * i
            if not have(tvb, o, 16) then break end
            local mt = tree:add(tvb(o, 16), string.format("Mode %dx%d@%d", le_u(tvb, o, 4), le_u(tvb, o + 4, 4), le_u(tvb, o + 8, 4)))
            mt:add_le(x50.mode_w, tvb(o, 4))
            mt:add_le(x50.mode_h, tvb(o + 4, 4))
            mt:add_le(x50.mode_hz, tvb(o + 8, 4))
            mt:add_le(x50.mode_bpp, tvb(o + 12, 4))
        end
        return string.format("%s: %d modes", name, count)
    elseif ty == 0x61 then
        if not need(20) then return name, "version reply shorter than 20 bytes" end
        tree:add(x50.kind, tvb(17, 1))
        tree:add(x50.error_code, tvb(18, 1))
        if st == 4 and need(23) then
            tree:add_le(x50.layout, tvb(19, 4))
            return string.format("%s layout %d", name, le_u(tvb, 19, 4))
        end
        local tl = math.min(total, tvb:len()) - 19
        if tl > 0 then
            local text = cstr(tvb, 19, tl)
            tree:add(x50.version, tvb(19, tl), text)
            return string.format("%s kind %d: %s", name, st, text)
        end
        return name
    elseif ty == 0x07 then
        if not need(27) then return name, "SROM reply shorter than 27 bytes" end
        tree:add(x50.done, tvb(26, 1))
        if total > 48 and have(tvb, 48, 1) then tree:add(x50.data, tvb(48, math.min(total, tvb:len()) - 48)) end
        return string.format("%s %s", name, tvb(26, 1):uint() == 1 and "done" or "not done")
    elseif ty == 0x77 then
        tree:add(x50.work_mode, tvb(17, 1))
        return string.format("%s mode %d", name, st)
    elseif ty == 0x0A then
        local tl = math.min(total, tvb:len()) - 17
        if tl > 0 then tree:add(x50.log_text, tvb(17, tl), cstr(tvb, 17, tl)) end
        return name
    elseif CONTROL50X[ty] then
        if not need(23) then return name, "control reply shorter than 23 bytes" end
        tree:add(x50.status, tvb(17, 1))
        tree:add(x50.detail0, tvb(18, 1))
        tree:add(x50.detail1, tvb(19, 1))
        tree:add_le(x50.value16, tvb(20, 2))
        tree:add(x50.value8, tvb(22, 1))
        if st ~= 0 then tree:add_proto_expert_info(e50.refused) end
        local what = ty == 0xFF and name or ("reply " .. cmd50_name(ty))
        return string.format("%s: %s", what, st == 0 and "accepted" or string.format("status 0x%02x", st))
    elseif ty == 0x65 then
        local cap = math.min(total, tvb:len()) - 18
        if cap > 0 then tree:add(x50.data, tvb(18, cap)) end
        return string.format("%s: %d bytes", name, total - 18)
    end
    tree:add(x50.status, tvb(17, 1))
    return string.format("%s status 0x%02x", name, st)
end

local function dissect50(tvb, pinfo, root)
    pinfo.cols.protocol:set("VEL50X")
    local total = tvb:reported_length_remaining()
    local tree = root:add(P50X, tvb(), "VelUSBDisplay 50x family")
    if tvb:len() < total then
        tree:add_proto_expert_info(e50.cut, string.format("Transfer cut by the capture: %d of %d bytes captured",
            tvb:len(), total))
    end
    tree:add(x50.magic, tvb(0, 12))
    local info, why
    if is_in() then
        tree:add(x50.role, tvb(0, 12), "reply or event"):set_generated()
        info, why = incoming50(tvb, tree, total, pinfo)
    elseif total < 17 or not have(tvb, 0, 17) then
        info, why = "packet", string.format("packet of %d bytes", total)
    else
        tree:add_le(x50.length, tvb(12, 4))
        local lenfield = le_u(tvb, 12, 4)
        local b16 = tvb(16, 1):uint()
        if b16 == 0x3A then
            tree:add(x50.role, tvb(16, 1), "cursor position"):set_generated()
            tree:add(x50.command, tvb(16, 1), "CursorPosition"):set_generated()
            if total ~= 44 or lenfield ~= 44 or not have(tvb, 0, 44) then
                info, why = "CursorPosition", string.format("%d-byte cursor position packet (length field %d), 44 expected", total, lenfield)
            else
                tree:add(x50.cur_view, tvb(21, 1))
                tree:add(x50.cur_visible, tvb(32, 1))
                tree:add_le(x50.cur_x, tvb(36, 4))
                tree:add_le(x50.cur_y, tvb(40, 4))
                info = string.format("CursorPosition view %d %d,%d %s", tvb(21, 1):uint(), tvb(36, 4):le_int(),
                    tvb(40, 4):le_int(), tvb(32, 1):uint() % 2 == 1 and "shown" or "hidden")
            end
        elseif b16 == 0x39 then
            tree:add(x50.role, tvb(16, 1), "cursor select"):set_generated()
            tree:add(x50.command, tvb(16, 1), "CursorSelect"):set_generated()
            if total ~= 48 or lenfield ~= 48 or not have(tvb, 0, 48) then
                info, why = "CursorSelect", string.format("%d-byte cursor select packet (length field %d), 48 expected", total, lenfield)
            else
                tree:add(x50.cur_view, tvb(21, 1))
                tree:add_le(x50.cur_slot, tvb(22, 4))
                tree:add(x50.cur_uploaded, tvb(26, 1))
                info = string.format("CursorSelect view %d slot %d%s", tvb(21, 1):uint(), le_u(tvb, 22, 4),
                    tvb(26, 1):uint() == 1 and " (new)" or "")
            end
        elseif b16 == 2 then
            tree:add(x50.role, tvb(16, 1), "image"):set_generated()
            tree:add(x50.command, tvb(16, 1), "Image"):set_generated()
            tree:add(x50.pclass, tvb(16, 1))
            info, why = image50(tvb, tree, total, lenfield)
        else
            tree:add(x50.role, tvb(16, 1), "command"):set_generated()
            tree:add(x50.pclass, tvb(16, 1))
            if total < 21 or not have(tvb, 0, 21) then
                info, why = "command", string.format("command packet of %d bytes", total)
            else
                tree:add(x50.pflags, tvb(17, 2))
                tree:add(x50.edid_retry, tvb(17, 2))
                tree:add(x50.view_select, tvb(19, 1))
                tree:add(x50.code, tvb(20, 1))
                local code = tvb(20, 1):uint()
                tree:add(x50.command, tvb(20, 1), cmd50_name(code)):set_generated()
                if b16 ~= 6 then
                    info, why = cmd50_name(code), "command class " .. b16
                else
                    local pt = have(tvb, 21, 22) and tree:add(x50.params, tvb(21, 22)) or tree
                    info, why = command50(tvb, pt, total, lenfield, code)
                end
            end
        end
    end
    if why then
        tree:add_proto_expert_info(e50.malformed, "Malformed: " .. why)
        tree:append_text(" [malformed]")
        pinfo.cols.info:set(info .. " [malformed: " .. why .. "]")
        return
    end
    if tvb:len() < total then info = info .. " [cut by the capture]" end
    pinfo.cols.info:set(info)
end

local function heur50(tvb, pinfo, tree)
    if tvb:len() < 12 or tvb(0, 12):string() ~= MAGIC50X then return false end
    dissect50(tvb, pinfo, tree)
    return true
end

P50X:register_heuristic("usb.bulk", heur50)
P50X:register_heuristic("usb.interrupt", heur50)
