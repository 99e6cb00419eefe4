# Installation and packaging; filled in by the packaging work.
