// A module of its own that requires fsutil, as applications on the module path do.
module fsutil.consumer {
    requires com.orvan.mek.fsutil;
}
