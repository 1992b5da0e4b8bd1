// The folder list beside shows the unread counts of the moment it loaded: when this folder's count differs (new
// mail, a message read or marked), or the folder is not in it yet, it loads again. Otherwise it marks this folder
// as the current one.
(function () {
    var here = document.body;
    var nav = window.parent !== window ? window.parent.frames["nav"] : null;
    if (!nav) { return; }
    try {
        var links = nav.document.querySelectorAll("a[data-folder]");
        var current = null;
        for (var i = 0; i < links.length; i++) {
            links[i].removeAttribute("aria-current");
            if (links[i].getAttribute("data-folder") === here.getAttribute("data-folder")) { current = links[i]; }
        }
        if (!current || current.getAttribute("data-unread") !== here.getAttribute("data-unread")) {
            nav.location.reload();
            return;
        }
        current.setAttribute("aria-current", "page");
    } catch (e) {
        // Another origin or a frame still loading: it shows the counts when it has loaded.
    }
})();
