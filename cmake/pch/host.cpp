// The translation unit of a precompiled-header host target: the header is all it holds.
