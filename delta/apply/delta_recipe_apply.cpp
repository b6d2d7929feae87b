#include "delta/apply/delta_recipe_apply.h"

#include <string.h>
#include <zlib.h>

#include "delta/common/delta_recipe.h"
#include "stream/allocator.h"

namespace {

// A phase of the work: the work of the phases before it, and the observer of the whole.
struct Phase {
    const DeltaObserver *observer;
    uint64_t before;
    uint64_t total;
};

bool Stopped(const Phase &p)
{
    return p.observer && p.observer->stop && p.observer->stop(p.observer->context);
}

void Moved(const Phase &p, uint64_t done)
{
    if (p.observer && p.observer->moved)
        p.observer->moved(p.observer->context, p.before + done, p.total);
}

// ---- the expansion of the base ----

struct Expansion {
    const DeltaBase *base;
    const DeltaSink *out;
    uint64_t at;        // in the base
    uint64_t furthest;  // read so far: kept packed bytes are read twice
    FileIdentity written;
    Phase phase;
    uint8_t in[DeltaStepSize];
    uint8_t out_[DeltaStepSize];
};

DeltaResult Emit(Expansion *e, const uint8_t *bytes, uint32_t n)
{
    AddToIdentity(&e->written, bytes, n);
    return e->out->write(e->out, bytes, n) ? DeltaResult::InProgress : DeltaResult::WriteFailed;
}

// Reads the next n bytes of the base (n <= DeltaStepSize) into e->in, serving a stop first.
DeltaResult ReadPiece(Expansion *e, uint32_t n)
{
    if (Stopped(e->phase))
        return DeltaResult::InProgress;
    if (!e->base->read(e->base, e->at, e->in, n))
        return DeltaResult::ReadFailed;
    e->at += n;
    if (e->at > e->furthest) {
        e->furthest = e->at;
        Moved(e->phase, e->furthest);
    }
    return DeltaResult::Done;
}

// Copies length bytes of the base as they are. Returns: Done; InProgress when stopped; a failure.
DeltaResult CopyKept(Expansion *e, uint64_t length)
{
    while (length) {
        uint32_t n = NextStepBytes(length);
        DeltaResult r = ReadPiece(e, n);
        if (r != DeltaResult::Done)
            return r;  // stopped, or a failure
        r = Emit(e, e->in, n);
        if (r != DeltaResult::InProgress)
            return r;
        length -= n;
    }
    return DeltaResult::Done;
}

// Inflates what is in z (with more to come unless last), writing all it gives, but never more
// than *allowance bytes, the stream's expanded size not yet made.
// Returns: InProgress to go on; Done at the stream's end; BaseMismatch; WriteFailed.
DeltaResult InflateHeld(Expansion *e, z_stream *z, bool last, uint64_t *allowance)
{
    for (;;) {
        // one byte past the allowance tells a stream longer than the recipe says
        uint32_t room = *allowance < DeltaStepSize ? (uint32_t)*allowance + 1 : DeltaStepSize;
        z->next_out = e->out_;
        z->avail_out = room;
        int status = inflate(z, Z_NO_FLUSH);
        uint32_t made = room - z->avail_out;
        if (made > *allowance)
            return DeltaResult::BaseMismatch;
        *allowance -= made;
        if (made && Emit(e, e->out_, made) != DeltaResult::InProgress)
            return DeltaResult::WriteFailed;
        if (status == Z_STREAM_END)
            return z->avail_in == 0 && last ? DeltaResult::Done : DeltaResult::BaseMismatch;
        if (status != Z_OK && status != Z_BUF_ERROR)
            return DeltaResult::BaseMismatch;
        if (z->avail_in == 0 && z->avail_out != 0)
            return last ? DeltaResult::BaseMismatch : DeltaResult::InProgress;
    }
}

DeltaResult InflateStream(Expansion *e, z_stream *z, const PackedStream &s)
{
    uint64_t left = s.packedSize, allowance = s.expandedSize;
    DeltaResult r = DeltaResult::InProgress;
    while (r == DeltaResult::InProgress) {
        uint32_t n = NextStepBytes(left);
        r = ReadPiece(e, n);
        if (r != DeltaResult::Done)
            return r;
        left -= n;
        z->next_in = e->in;
        z->avail_in = n;
        r = InflateHeld(e, z, left == 0, &allowance);
    }
    return r == DeltaResult::Done && allowance != 0 ? DeltaResult::BaseMismatch : r;
}

// Copies the gap (and the stream's packed bytes when they are kept, to be read again), then
// inflates the stream.
DeltaResult ExpandStream(Expansion *e, const PackedStream &s, bool keepsPacked)
{
    uint64_t start = e->at + s.gap;
    DeltaResult r = CopyKept(e, s.gap + (keepsPacked ? s.packedSize : 0));
    if (r != DeltaResult::Done)
        return r;
    e->at = start;
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK)
        return DeltaResult::NoMemory;
    r = InflateStream(e, &z, s);
    inflateEnd(&z);
    return r;
}

DeltaResult ExpandBase(const DeltaHeader &h, RecipeList list, Expansion *e)
{
    PackedStream s;
    while (list.left) {
        if (!NextPackedStream(&list, &s))
            return DeltaResult::Corrupt;
        DeltaResult r = ExpandStream(e, s, (h.recipeFlags & RecipeKeepsPacked) != 0);
        if (r != DeltaResult::Done)
            return r;
    }
    DeltaResult r = CopyKept(e, h.baseSize - e->at);
    if (r != DeltaResult::Done)
        return r;
    FileIdentity named = {h.expandedBaseSize, h.expandedBaseCrc};
    return SameIdentity(e->written, named) ? DeltaResult::Done : DeltaResult::BaseMismatch;
}

// ---- the result's streams, deflated again ----

struct Reflation {
    DeltaSink sink;  // first: the applier hands it back
    const DeltaSink *out;
    RecipeList list;
    PackedStream stream;  // the current one
    bool haveStream;      // false after the last: the rest is kept as it is
    bool deflating;       // inside the current stream (its gap is behind)
    uint64_t keptLeft;    // of the current gap
    uint64_t expandedLeft;
    uint64_t packedMade;
    z_stream z;
    FileIdentity written;
    DeltaResult failure;
    uint8_t out_[DeltaStepSize];
};

bool EmitResult(Reflation *f, const uint8_t *bytes, uint32_t n)
{
    AddToIdentity(&f->written, bytes, n);
    if (f->out->write(f->out, bytes, n))
        return true;
    f->failure = DeltaResult::WriteFailed;
    return false;
}

bool NextStream(Reflation *f)
{
    f->haveStream = f->list.left != 0;
    f->deflating = false;
    if (!f->haveStream)
        return true;
    if (!NextPackedStream(&f->list, &f->stream)) {
        f->failure = DeltaResult::Corrupt;
        return false;
    }
    f->keptLeft = f->stream.gap;
    return true;
}

bool StartDeflating(Reflation *f)
{
    const DeflateSettings &s = f->stream.settings;
    if (deflateInit2(&f->z, s.level, Z_DEFLATED, -(int)s.windowBits, s.memLevel, s.strategy) !=
        Z_OK) {
        f->failure = DeltaResult::NoMemory;
        return false;
    }
    f->deflating = true;
    f->expandedLeft = f->stream.expandedSize;
    f->packedMade = 0;
    return true;
}

// Deflates n bytes (finishing the stream when flush is Z_FINISH), writing all it gives.
bool Deflate(Reflation *f, const uint8_t *bytes, uint32_t n, int flush)
{
    f->z.next_in = (Bytef *)bytes;
    f->z.avail_in = n;
    for (;;) {
        f->z.next_out = f->out_;
        f->z.avail_out = DeltaStepSize;
        int status = deflate(&f->z, flush);
        uint32_t made = DeltaStepSize - f->z.avail_out;
        if (status != Z_OK && status != Z_BUF_ERROR && status != Z_STREAM_END) {
            f->failure = DeltaResult::Corrupt;
            return false;
        }
        if (made > f->stream.packedSize - f->packedMade) {
            f->failure = DeltaResult::ResultMismatch;  // longer than the recipe says: stop now
            return false;
        }
        f->packedMade += made;
        if (made && !EmitResult(f, f->out_, made))
            return false;
        if (status == Z_STREAM_END || (flush == Z_NO_FLUSH && f->z.avail_out != 0))
            return true;
    }
}

// Ends the current stream: its deflate bytes must be exactly as many as the recipe names.
bool FinishStream(Reflation *f)
{
    bool ok = Deflate(f, nullptr, 0, Z_FINISH);
    deflateEnd(&f->z);
    f->deflating = false;
    if (ok && f->packedMade != f->stream.packedSize) {
        f->failure = DeltaResult::ResultMismatch;
        ok = false;
    }
    return ok && NextStream(f);
}

// Takes the steps that need no byte: a gap that is over starts its stream, and a stream with
// nothing left ends.
bool SettleStreams(Reflation *f)
{
    while (f->haveStream) {
        if (!f->deflating && f->keptLeft == 0) {
            if (!StartDeflating(f))
                return false;
        } else if (f->deflating && f->expandedLeft == 0) {
            if (!FinishStream(f))
                return false;
        } else {
            return true;
        }
    }
    return true;
}

bool WriteExpanded(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    Reflation *f = (Reflation *)self;
    while (SettleStreams(f) && length) {
        uint64_t room = !f->haveStream ? length : f->deflating ? f->expandedLeft : f->keptLeft;
        uint32_t n = room < length ? (uint32_t)room : length;
        bool ok = f->deflating ? Deflate(f, bytes, n, Z_NO_FLUSH) : EmitResult(f, bytes, n);
        if (!ok)
            return false;
        if (f->deflating)
            f->expandedLeft -= n;
        else if (f->haveStream)
            f->keptLeft -= n;
        bytes += n;
        length -= n;
    }
    return f->failure == DeltaResult::Done;
}

void MovedApplying(void *context, uint64_t done, uint64_t)
{
    const Phase *p = (const Phase *)context;
    Moved(*p, done);
}

bool StopApplying(void *context)
{
    return Stopped(*(const Phase *)context);
}

DeltaResult ApplySections(const uint8_t *data, uint32_t size, const DeltaHeader &h,
                          const DeltaBase *expanded, Reflation *f, const Phase &whole)
{
    DeltaApplier *applier;
    DeltaResult r = OpenDelta(data, size, expanded, &f->sink, false, &applier);
    if (r != DeltaResult::InProgress)
        return r;
    Phase phase = {whole.observer, h.baseSize, whole.total};
    DeltaObserver observer = {&phase, MovedApplying, StopApplying};
    r = RunDelta(applier, &observer);
    CloseDelta(applier);
    if (r == DeltaResult::WriteFailed && f->failure != DeltaResult::Done)
        r = f->failure;
    if (r == DeltaResult::Done && !SettleStreams(f))
        r = f->failure;
    if (r == DeltaResult::Done && !SameIdentity(f->written, ResultIdentity(h)))
        r = DeltaResult::ResultMismatch;
    return r;
}

}  // namespace

bool DeltaHasRecipe(const uint8_t *data, uint32_t size)
{
    DeltaHeader h;
    return GetDeltaHeader(data, size, &h) && (h.flags & DeltaFlagRecipe);
}

uint64_t DeltaWorkTotalOf(const DeltaHeader &h)
{
    return (h.flags & DeltaFlagRecipe ? h.baseSize : 0) + h.expandedResultSize;
}

DeltaResult ApplyRecipeDelta(const uint8_t *data, uint32_t size, const DeltaBase *base,
                             const ExpandedStore *expanded, const DeltaSink *sink,
                             const DeltaObserver *observer)
{
    DeltaHeader h;
    RecipeLists lists;
    if (!GetDeltaHeader(data, size, &h) || !(h.flags & DeltaFlagRecipe) ||
        !GetRecipeLists(h, &lists))
        return DeltaResult::Corrupt;
    if (base->size != h.baseSize || expanded->reader->size != h.expandedBaseSize)
        return DeltaResult::BaseMismatch;
    Phase whole = {observer, 0, DeltaWorkTotalOf(h)};
    Expansion *e = (Expansion *)defaultAllocator.alloc(sizeof(Expansion), &defaultAllocator);
    if (!e)
        return DeltaResult::NoMemory;
    memset(e, 0, sizeof *e);
    e->base = base;
    e->out = expanded->writer;
    e->phase = whole;
    DeltaResult r = ExpandBase(h, lists.base, e);
    defaultAllocator.free(sizeof(Expansion), e, &defaultAllocator);
    if (r != DeltaResult::Done)
        return r;
    Reflation *f = (Reflation *)defaultAllocator.alloc(sizeof(Reflation), &defaultAllocator);
    if (!f)
        return DeltaResult::NoMemory;
    memset(f, 0, sizeof *f);
    f->sink.write = WriteExpanded;
    f->out = sink;
    f->list = lists.result;
    f->failure = DeltaResult::Done;
    r = NextStream(f) ? ApplySections(data, size, h, expanded->reader, f, whole) : f->failure;
    if (f->deflating)
        deflateEnd(&f->z);
    defaultAllocator.free(sizeof(Reflation), f, &defaultAllocator);
    return r;
}
